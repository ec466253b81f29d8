// The DLL's exported surface, loaded as a client process would load it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>

#include "test_support.h"

using namespace testing_support;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using NoArgFn = HRESULT(STDAPICALLTYPE*)();

// Function pointers go through void* to keep the casts honest about what they are.
template <class Fn>
Fn Proc(HMODULE dll, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}
template <class Fn>
void* Addr(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

class Module : public ::testing::Test {
protected:
    void SetUp() override {
        m_dll = LoadLibraryW(BesideExe(L"serverlink.dll").c_str());
        ASSERT_NE(m_dll, nullptr);
        getClassObject = Proc<GetClassObjectFn>(m_dll, "DllGetClassObject");
        canUnloadNow = Proc<NoArgFn>(m_dll, "DllCanUnloadNow");
        registerServer = Proc<NoArgFn>(m_dll, "DllRegisterServer");
        unregisterServer = Proc<NoArgFn>(m_dll, "DllUnregisterServer");
        ASSERT_TRUE(getClassObject && canUnloadNow && registerServer && unregisterServer);
    }
    void TearDown() override {
        if (m_dll) FreeLibrary(m_dll);
    }

    IClassFactory* Factory(REFCLSID clsid = GUID_NULL) {
        IClassFactory* f = nullptr;
        EXPECT_EQ(getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
        return f;
    }

    ComScope m_com;
    HMODULE m_dll = nullptr;
    GetClassObjectFn getClassObject = nullptr;
    NoArgFn canUnloadNow = nullptr, registerServer = nullptr, unregisterServer = nullptr;
};

// A would-be outer object that counts what is done to it.
struct CountingUnknown : IUnknown {
    LONG refs = 0, queries = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        ++queries;
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

const CLSID kUnknownClass = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};

}  // namespace

TEST_F(Module, ExportsResolveByOrdinalInOrder) {
    EXPECT_EQ(Proc<void*>(m_dll, MAKEINTRESOURCEA(1)), Addr(canUnloadNow));
    EXPECT_EQ(Proc<void*>(m_dll, MAKEINTRESOURCEA(2)), Addr(getClassObject));
    EXPECT_EQ(Proc<void*>(m_dll, MAKEINTRESOURCEA(3)), Addr(registerServer));
    EXPECT_EQ(Proc<void*>(m_dll, MAKEINTRESOURCEA(4)), Addr(unregisterServer));
}

TEST_F(Module, AnyClassIdYieldsAWorkingFactory) {
    for (const CLSID* clsid : {&GUID_NULL, &kUnknownClass, &CLSID_ServerLink}) {
        IClassFactory* f = Factory(*clsid);
        ASSERT_NE(f, nullptr);
        IServerLink* link = nullptr;
        EXPECT_EQ(f->CreateInstance(nullptr, IID_IServerLink, reinterpret_cast<void**>(&link)), S_OK);
        ASSERT_NE(link, nullptr);
        EXPECT_EQ(link->Release(), 0u);
        EXPECT_EQ(f->Release(), 0u);
    }
}

TEST_F(Module, GetClassObjectOffersOnlyTheFactoryInterfaces) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(GUID_NULL, IID_IServerLink, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(GUID_NULL, IID_IDispatch, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    IUnknown* unk = nullptr;
    ASSERT_EQ(getClassObject(GUID_NULL, IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    EXPECT_EQ(unk->Release(), 0u);
    // A refused query left no factory alive behind it.
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(Module, EachCallMakesADistinctFactory) {
    IClassFactory* a = Factory();
    IClassFactory* b = Factory();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->Release(), 0u);
    EXPECT_EQ(b->Release(), 0u);
}

TEST_F(Module, FactoryQueryInterfaceAndCounts) {
    IClassFactory* f = Factory();
    ASSERT_NE(f, nullptr);
    IUnknown* unk = nullptr;
    EXPECT_EQ(f->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    EXPECT_EQ(unk->Release(), 1u);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(f->QueryInterface(IID_IServerLink, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(f->AddRef(), 2u);
    EXPECT_EQ(f->Release(), 1u);
    EXPECT_EQ(f->Release(), 0u);
}

TEST_F(Module, CreateInstanceRefusals) {
    IClassFactory* f = Factory();
    ASSERT_NE(f, nullptr);
    CountingUnknown outer;
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(f->CreateInstance(&outer, IID_IServerLink, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(outer.refs, 0);
    EXPECT_EQ(outer.queries, 0);
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IUnknown, &p), E_FAIL);
    EXPECT_EQ(p, nullptr);
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IClassFactory, &p), E_FAIL);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(f->LockServer(TRUE), E_NOTIMPL);
    EXPECT_EQ(f->LockServer(FALSE), E_NOTIMPL);
    EXPECT_EQ(f->Release(), 0u);
    EXPECT_EQ(canUnloadNow(), S_OK);  // LockServer changed nothing
}

TEST_F(Module, CanUnloadOnlyWhenNothingIsAlive) {
    EXPECT_EQ(canUnloadNow(), S_OK);
    IClassFactory* f = Factory();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    IServerLink* link = nullptr;
    ASSERT_EQ(f->CreateInstance(nullptr, IID_IServerLink, reinterpret_cast<void**>(&link)), S_OK);
    EXPECT_EQ(f->Release(), 0u);
    EXPECT_EQ(canUnloadNow(), S_FALSE);  // the object is still alive
    EXPECT_EQ(link->Release(), 0u);
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(Module, RegistrationIsRefusedAndTouchesNothing) {
    // Both registry views: on 64-bit Windows a 32-bit DLL that wrote its class
    // into the 64-bit one would point 64-bit clients at a DLL they cannot load.
    auto snapshot = [](REGSAM view) {
        wchar_t value[MAX_PATH] = L"";
        DWORD size = sizeof(value) - sizeof(wchar_t);
        HKEY opened = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{E33E6614-4B84-4956-A45C-AA9FDCBC2233}\\InprocServer32", 0,
                          KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS)
            return std::wstring(L"(no key)");
        const std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)> key(opened, &RegCloseKey);
        RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
        return std::wstring(value);
    };
    const std::wstring before32 = snapshot(KEY_WOW64_32KEY);
    const std::wstring before64 = snapshot(KEY_WOW64_64KEY);
    EXPECT_EQ(registerServer(), E_FAIL);
    EXPECT_EQ(unregisterServer(), E_FAIL);
    EXPECT_EQ(snapshot(KEY_WOW64_32KEY), before32);
    EXPECT_EQ(snapshot(KEY_WOW64_64KEY), before64);
}

TEST_F(Module, LinkObjectIdentity) {
    IServerLink* link = nullptr;
    ASSERT_EQ(CreateLink(&link), S_OK);
    ASSERT_NE(link, nullptr);
    IUnknown* unk = nullptr;
    EXPECT_EQ(link->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    EXPECT_EQ(static_cast<void*>(unk), static_cast<void*>(link));
    EXPECT_EQ(unk->Release(), 1u);
    for (const IID* iid : {&IID_IDispatch, &IID_IClassFactory, &IID_IMarshal}) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(link->QueryInterface(*iid, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
    }
    EXPECT_EQ(link->AddRef(), 2u);
    EXPECT_EQ(link->Release(), 1u);
    EXPECT_EQ(link->Release(), 0u);
}
