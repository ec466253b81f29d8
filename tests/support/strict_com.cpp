#include "strict_com.h"

#include <gtest/gtest.h>
#include <ole2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "import_patch.h"
#include "test_support.h"

namespace testing_support {

namespace {

// An STA, or a thread outside COM, is told apart by its thread and by the
// serial its thread had then: a thread gets a new serial whenever it enters or
// leaves COM, so its second STA is not its first, however alike. The MTA is
// one (serial 0): COM tells a thread nothing about which MTA it is in, and the
// threads holding the MTA open include ones the layer never sees, so its end
// cannot be told soundly.
struct Apartment {
    int type;  // an APTTYPE, or -1 outside COM
    DWORD thread;
    LONG serial;
    bool operator!=(const Apartment& o) const { return type != o.type || thread != o.thread || serial != o.serial; }
};

std::mutex g_lock;
std::vector<std::string> g_violations;  // guarded by g_lock
volatile LONG g_expecting = 0;          // live ExpectStrictViolations scopes

void Violation(const std::string& text) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_violations.push_back(text);
    }
    if (g_expecting > 0) return;
    // ctest judges by gtest's printed verdict, which a failure outside any test
    // would not change.
    if (::testing::UnitTest::GetInstance()->current_test_info() == nullptr) {
        std::printf("[  FAILED  ] strict COM, outside any test: %s\n", text.c_str());
        std::fflush(stdout);
    }
    ADD_FAILURE() << "strict COM: " << text;
}

volatile LONG g_serials = 0;

DWORD SerialSlot() {
    static const DWORD slot = TlsAlloc();
    return slot;
}

void NewSerial() {
    TlsSetValue(SerialSlot(), reinterpret_cast<void*>(static_cast<LONG_PTR>(InterlockedIncrement(&g_serials))));
}

// On every thread the layer has checked: each entry into COM and each exit from
// it starts a new apartment there. One object for all threads, never freed.
class SerialSpy final : public IInitializeSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IInitializeSpy) ? this : nullptr;
        return *ppv != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE PreInitialize(DWORD, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PostInitialize(HRESULT hr, DWORD, DWORD refs) override {
        if (SUCCEEDED(hr) && refs == 1) NewSerial();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE PreUninitialize(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PostUninitialize(DWORD refs) override {
        if (refs == 0) NewSerial();
        return S_OK;
    }
};

SerialSpy g_spy;

// The spy goes on a thread at its first check and sees only what the thread
// does from then on. That is enough: a proxy is bound to the apartment in
// progress where it is wrapped, so its thread is watched from that moment.
LONG ThreadSerial() {
    LONG serial = static_cast<LONG>(reinterpret_cast<LONG_PTR>(TlsGetValue(SerialSlot())));
    if (serial != 0) return serial;
    ULARGE_INTEGER cookie;
    if (CoRegisterInitializeSpy(&g_spy, &cookie) != S_OK) {
        Violation("cannot watch the apartments of thread " + std::to_string(GetCurrentThreadId()));
        return -1;
    }
    NewSerial();
    return static_cast<LONG>(reinterpret_cast<LONG_PTR>(TlsGetValue(SerialSlot())));
}

Apartment Current() {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    const int t = FAILED(CoGetApartmentType(&type, &qualifier)) ? -1 : type == APTTYPE_MAINSTA ? APTTYPE_STA : type;
    if (t != APTTYPE_STA && t != -1) return {t, 0, 0};
    return {t, GetCurrentThreadId(), ThreadSerial()};
}

std::string Describe(const Apartment& a) {
    const std::string where = "(thread " + std::to_string(a.thread) + ", serial " + std::to_string(a.serial) + ")";
    return a.type == -1            ? "no apartment " + where
           : a.type == APTTYPE_STA ? "an STA " + where
           : a.type == APTTYPE_MTA ? "the MTA"
                                   : "apartment type " + std::to_string(a.type);
}

// What COM itself asks of an object it marshals or tunes. The layer hands COM
// the bare proxy, so a wrapper asked for these slipped past it.
#define STRICT_IID(name) \
    { &IID_##name, #name }
const struct {
    const IID* iid;
    const char* name;
} kPlumbing[] = {STRICT_IID(IMarshal),        STRICT_IID(IMarshal2),   STRICT_IID(IStdMarshalInfo),
                 STRICT_IID(IAgileObject),    STRICT_IID(INoMarshal),  STRICT_IID(IExternalConnection),
                 STRICT_IID(IClientSecurity), STRICT_IID(IRpcOptions), STRICT_IID(IMultiQI)};

bool IsServerIid(REFIID riid) {
    return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_ILocalServer);
}

std::string IidText(REFIID riid) {
    wchar_t text[40] = {};
    StringFromGUID2(riid, text, 40);
    std::string narrow;
    for (const wchar_t* p = text; *p; ++p) narrow.push_back(static_cast<char>(*p));
    return narrow;
}

volatile LONG g_wrapped = 0;  // StrictProxy objects made

#define STRICT_FORWARD(name, params, args)           \
    HRESULT STDMETHODCALLTYPE name params override { \
        Check(#name);                                \
        return m_server->name args;                  \
    }

class StrictProxy final : public ILocalServer {
public:
    // Takes over one reference to `server`, bound to the calling thread's apartment.
    explicit StrictProxy(ILocalServer* server) : m_server(server), m_home(Current()) {
        s_vtable = *reinterpret_cast<void* const*>(this);
        InterlockedIncrement(&g_wrapped);
    }

    static StrictProxy* From(IUnknown* p) {
        return p != nullptr && s_vtable != nullptr && *reinterpret_cast<void* const*>(p) == s_vtable
                   ? static_cast<StrictProxy*>(p)
                   : nullptr;
    }

    void Check(const char* op) {
        const Apartment now = Current();
        if (now != m_home)
            Violation(std::string(op) + ": obtained in " + Describe(m_home) + ", used in " + Describe(now));
    }

    ILocalServer* Inner() { return m_server; }

    // References that other wrappers of this proxy hold, unchecked: their own
    // use is checked where they are used.
    void Hold() { InterlockedIncrement(&m_refs); }
    ULONG Drop() {
        const LONG n = InterlockedDecrement(&m_refs);
        if (n == 0) {
            m_server->Release();
            delete this;
        }
        return static_cast<ULONG>(n);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override {
        Check("AddRef");
        return static_cast<ULONG>(InterlockedIncrement(&m_refs));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        Check("Release");
        return Drop();
    }

    // Slot order of the interface, each call forwarded once its apartment is checked.
    STRICT_FORWARD(GetTypeInfoCount, (UINT * a), (a))
    STRICT_FORWARD(GetTypeInfo, (UINT a, LCID b, ITypeInfo** c), (a, b, c))
    STRICT_FORWARD(GetIDsOfNames, (REFIID a, LPOLESTR* b, UINT c, LCID d, DISPID* e), (a, b, c, d, e))
    STRICT_FORWARD(Invoke, (DISPID a, REFIID b, LCID c, WORD d, DISPPARAMS* e, VARIANT* f, EXCEPINFO* g, UINT* h),
                   (a, b, c, d, e, f, g, h))
    STRICT_FORWARD(Disconnect, (LONG * a), (a))
    STRICT_FORWARD(Login, (VARIANT a, LONG* b), (a, b))
    STRICT_FORWARD(Logout, (LONG a, LONG b, unsigned short c, LONG* d), (a, b, c, d))
    STRICT_FORWARD(Request, (LONG a, LONG b, LONG c, LONG d, LONG e, LONG f, LONG* g), (a, b, c, d, e, f, g))
    STRICT_FORWARD(ClosePeer, (LONG a, LONG b, LONG* c), (a, b, c))
    STRICT_FORWARD(Reserved12, (), ())
    STRICT_FORWARD(QueryA, (LONG a, LONG* b), (a, b))
    STRICT_FORWARD(QueryB, (LONG a, LONG* b), (a, b))
    STRICT_FORWARD(NegotiateChannel, (LONG a, LONG* b, LONG* c), (a, b, c))
    STRICT_FORWARD(PostBlock, (LONG a, LONG b, VARIANT c), (a, b, c))
    STRICT_FORWARD(Reserved17, (), ())
    STRICT_FORWARD(ModeRequest, (LONG a, LONG b, unsigned char c, LONG* d), (a, b, c, d))
    STRICT_FORWARD(PairRequest, (LONG a, LONG b, LONG c, LONG* d), (a, b, c, d))
    STRICT_FORWARD(PostValueList, (LONG a, unsigned char b, VARIANT c, LONG d, LONG* e), (a, b, c, d, e))
    STRICT_FORWARD(ModePairRequest, (LONG a, unsigned char b, LONG c, LONG d, LONG* e), (a, b, c, d, e))
    STRICT_FORWARD(ModeValueRequestA, (LONG a, unsigned char b, LONG c, LONG* d), (a, b, c, d))
    STRICT_FORWARD(ModeValueRequestB, (LONG a, unsigned char b, LONG c, LONG* d), (a, b, c, d))
    STRICT_FORWARD(ModeQuery, (LONG a, unsigned char b, LONG* c), (a, b, c))

private:
    ~StrictProxy() = default;

    static void* volatile s_vtable;
    volatile LONG m_refs = 1;
    ILocalServer* const m_server;
    const Apartment m_home;
};

void* volatile StrictProxy::s_vtable = nullptr;

// The proxy's ISupportErrorInfo (the DLL asks for it when a call fails), bound
// to the proxy's apartment; its identity is the wrapper's.
class StrictErrorInfo final : public ISupportErrorInfo {
public:
    // Takes over one reference to `inner`.
    StrictErrorInfo(StrictProxy* proxy, ISupportErrorInfo* inner) : m_proxy(proxy), m_inner(inner) { proxy->Hold(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (!IsEqualIID(riid, IID_ISupportErrorInfo)) return m_proxy->QueryInterface(riid, ppv);
        AddRef();
        *ppv = static_cast<ISupportErrorInfo*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        m_proxy->Check("ISupportErrorInfo::AddRef");
        return static_cast<ULONG>(InterlockedIncrement(&m_refs));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        m_proxy->Check("ISupportErrorInfo::Release");
        const LONG n = InterlockedDecrement(&m_refs);
        if (n == 0) {
            m_inner->Release();
            m_proxy->Drop();
            delete this;
        }
        return static_cast<ULONG>(n);
    }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
        m_proxy->Check("InterfaceSupportsErrorInfo");
        return m_inner->InterfaceSupportsErrorInfo(riid);
    }

private:
    ~StrictErrorInfo() = default;
    volatile LONG m_refs = 1;
    StrictProxy* const m_proxy;
    ISupportErrorInfo* const m_inner;
};

HRESULT STDMETHODCALLTYPE StrictProxy::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    Check("QueryInterface");
    if (IsServerIid(riid)) {
        InterlockedIncrement(&m_refs);
        *ppv = static_cast<ILocalServer*>(this);
        return S_OK;
    }
    for (const auto& p : kPlumbing) {
        if (IsEqualIID(riid, *p.iid)) {
            Violation(std::string("QueryInterface(") + p.name +
                      "): a wrapped proxy reached COM without the strict layer");
            return E_NOINTERFACE;
        }
    }
    void* inner = nullptr;
    const HRESULT hr = m_server->QueryInterface(riid, &inner);
    if (FAILED(hr) || inner == nullptr) return FAILED(hr) ? hr : E_NOINTERFACE;
    if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
        *ppv = static_cast<ISupportErrorInfo*>(new StrictErrorInfo(this, static_cast<ISupportErrorInfo*>(inner)));
        return S_OK;
    }
    // No bare proxy leaves the layer.
    static_cast<IUnknown*>(inner)->Release();
    Violation("QueryInterface(" + IidText(riid) + "): an interface of the server the strict layer cannot check");
    return E_NOINTERFACE;
}

// Replaces a fresh LocalServer proxy in *ppv (asked for as riid) by its wrapper.
// Other objects and interfaces pass unwrapped.
void Wrap(REFIID riid, void** ppv) {
    IUnknown* const got = static_cast<IUnknown*>(*ppv);
    ILocalServer* server = nullptr;
    if (got == nullptr || !IsServerIid(riid) || FAILED(got->QueryInterface(IID_ILocalServer, (void**)&server))) return;
    got->Release();
    *ppv = static_cast<ILocalServer*>(new StrictProxy(server));
}

// The bare proxy for the real function, once the use is checked.
IUnknown* Unwrap(IUnknown* p, const char* op) {
    StrictProxy* const w = StrictProxy::From(p);
    if (w == nullptr) return p;
    w->Check(op);
    return w->Inner();
}

bool OutOfProcess(DWORD context) { return (context & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) != 0; }

HRESULT WINAPI HookCoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv) {
    const HRESULT hr = CoCreateInstance(clsid, outer, context, riid, ppv);
    if (SUCCEEDED(hr) && OutOfProcess(context)) Wrap(riid, ppv);
    return hr;
}

HRESULT WINAPI HookCoCreateInstanceEx(REFCLSID clsid, IUnknown* outer, DWORD context, COSERVERINFO* info, DWORD n,
                                      MULTI_QI* results) {
    const HRESULT hr = CoCreateInstanceEx(clsid, outer, context, info, n, results);
    for (DWORD i = 0; SUCCEEDED(hr) && OutOfProcess(context) && i < n; ++i)
        if (SUCCEEDED(results[i].hr)) Wrap(*results[i].pIID, reinterpret_cast<void**>(&results[i].pItf));
    return hr;
}

HRESULT WINAPI HookOleRun(IUnknown* object) { return OleRun(Unwrap(object, "OleRun")); }

HRESULT WINAPI HookCoMarshalInterThreadInterfaceInStream(REFIID riid, IUnknown* object, IStream** stream) {
    return CoMarshalInterThreadInterfaceInStream(riid, Unwrap(object, "CoMarshalInterThreadInterfaceInStream"), stream);
}

HRESULT WINAPI HookCoUnmarshalInterface(IStream* stream, REFIID riid, void** ppv) {
    const HRESULT hr = CoUnmarshalInterface(stream, riid, ppv);
    if (SUCCEEDED(hr)) Wrap(riid, ppv);
    return hr;
}

HRESULT WINAPI HookCoGetInterfaceAndReleaseStream(IStream* stream, REFIID riid, void** ppv) {
    const HRESULT hr = CoGetInterfaceAndReleaseStream(stream, riid, ppv);
    if (SUCCEEDED(hr)) Wrap(riid, ppv);
    return hr;
}

// CoReleaseMarshalData takes no interface and so needs no hook: with table
// marshalling refused, a proxy's packet is always a normal one.
const struct {
    const char* name;
    void* fn;
} kHooks[] = {
    {"CoCreateInstance", reinterpret_cast<void*>(&HookCoCreateInstance)},
    {"CoCreateInstanceEx", reinterpret_cast<void*>(&HookCoCreateInstanceEx)},
    {"OleRun", reinterpret_cast<void*>(&HookOleRun)},
    {"CoMarshalInterface", reinterpret_cast<void*>(&StrictCoMarshalInterface)},
    {"CoMarshalInterThreadInterfaceInStream", reinterpret_cast<void*>(&HookCoMarshalInterThreadInterfaceInStream)},
    {"CoUnmarshalInterface", reinterpret_cast<void*>(&HookCoUnmarshalInterface)},
    {"CoGetInterfaceAndReleaseStream", reinterpret_cast<void*>(&HookCoGetInterfaceAndReleaseStream)},
};

// Functions of the COM libraries that hand out an object that may be a proxy,
// or marshal one (and CoGetObjectContext, whose context object runs calls in
// another apartment). A module importing one without a hook above could obtain
// a proxy the layer never sees. Functions that only take an interface need no
// hook: a wrapper reaching COM is caught by its plumbing queries. So is the
// Global Interface Table, which table-marshals what it is given.
const char kProxyPaths[] =
    " CoCreateInstance CoCreateInstanceEx CoCreateInstanceFromApp CoGetClassObject CoGetObject"
    " CoGetInstanceFromFile CoGetInstanceFromIStorage CoGetObjectContext CoUnmarshalInterface"
    " CoGetInterfaceAndReleaseStream CoMarshalInterface CoMarshalInterThreadInterfaceInStream"
    " CoGetStandardMarshal OleRun GetActiveObject BindMoniker ";

void* HookFor(const char* name) {
    for (const auto& h : kHooks)
        if (std::strcmp(name, h.name) == 0) return h.fn;
    return nullptr;
}

bool IsProxyPath(const char* name) { return std::strstr(kProxyPaths, (" " + std::string(name) + " ").c_str()); }

bool IsComLibrary(const char* dll) {
    return lstrcmpiA(dll, "ole32.dll") == 0 || lstrcmpiA(dll, "oleaut32.dll") == 0 ||
           lstrcmpiA(dll, "combase.dll") == 0 || _strnicmp(dll, "api-ms-win-core-com-", 20) == 0;
}

// Calls visit(dll, name, slot) for every import of `module` from the COM
// libraries.
template <class Visit>
void ForEachComImport(HMODULE module, Visit&& visit) {
    ForEachImport(module, [&](const char* dll, const char* name, void** slot) {
        if (IsComLibrary(dll)) visit(dll, name, slot);
    });
}

// Points every import of `module` that has a hook at it. Returns the names
// hooked; *failed gets those whose slot could not be written.
std::string PatchImports(HMODULE module, std::string* failed) {
    std::string hooked;
    ForEachComImport(module, [&](const char*, const char* name, void** slot) {
        void* const hook = name != nullptr ? HookFor(name) : nullptr;
        if (hook == nullptr) return;
        std::string& list = WriteImportSlot(slot, hook) && *slot == hook ? hooked : *failed;
        list += list.empty() ? name : std::string(" ") + name;
    });
    return hooked;
}

// The module COM loads for the registered class: the one whose code the class
// factory runs. That is the module whose imports matter, whatever path the
// class is registered under and whatever copy a test loads by name: hooking any
// other would leave every strict test passing while checking nothing. The
// factory is asked for on a thread of its own in an STA, so that it comes
// direct, never through a proxy. The reference taken here keeps the module
// loaded, and hooked, through COM's later loads and unloads of it.
HMODULE RegisteredModule(std::string* why) {
    HRESULT hr = E_FAIL;
    HMODULE module = nullptr;
    RunOnThread([&] {
        ComScope sta;
        IClassFactory* factory = nullptr;
        hr = CoGetClassObject(CLSID_ServerLink, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                              reinterpret_cast<void**>(&factory));
        if (FAILED(hr)) return;
        const void* code = (*reinterpret_cast<void* const* const*>(factory))[0];  // its QueryInterface
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(code), &module))
            module = nullptr;
        factory->Release();
    });
    if (FAILED(hr)) {
        char text[64];
        std::snprintf(text, sizeof(text), "COM cannot load the registered class (0x%08lX)", hr);
        *why = text;
    } else if (module == nullptr) {
        *why = "the class factory's code lies in no module";
    } else if (GetModuleHandleW(L"serverlink.dll") != module) {
        // Calls through the DLL's exports (DllCanUnloadNow) would reach another copy, unhooked.
        *why = "the serverlink.dll loaded in this process is not the module COM loads for the class";
    }
    return why->empty() ? module : nullptr;
}

// Fails a test of the strict run that wrapped no proxy: it would pass while
// checking nothing. (Tests that never reach a server proxy of the DLL are left
// out of the strict run: STRICT_SKIP in tests/CMakeLists.txt.)
class EveryTestWrapsAProxy : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { m_start = StrictWrappedCount(); }
    void OnTestEnd(const ::testing::TestInfo& test) override {
        if (!test.result()->Skipped() && StrictWrappedCount() == m_start)
            ADD_FAILURE() << "strict COM: the test wrapped no server proxy, so it checked nothing";
    }
    size_t m_start = 0;
};

class StrictComEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (!StrictComOn()) return;
        std::string error;
        if (!InstallStrictCom(&error)) FAIL() << "strict COM: " << error;
        ::testing::UnitTest::GetInstance()->listeners().Append(new EveryTestWrapsAProxy);
    }
};

}  // namespace

HRESULT WINAPI StrictCoMarshalInterface(IStream* stream, REFIID riid, IUnknown* object, DWORD destContext,
                                        void* destContextData, DWORD flags) {
    StrictProxy* const wrapped = StrictProxy::From(object);
    if (wrapped != nullptr && (flags & (MSHLFLAGS_TABLESTRONG | MSHLFLAGS_TABLEWEAK)) != 0) {
        wrapped->Check("CoMarshalInterface");
        std::printf("strict COM: table marshalling of a proxy (flags %lu) refused with E_INVALIDARG\n", flags);
        std::fflush(stdout);
        return E_INVALIDARG;
    }
    return CoMarshalInterface(stream, riid, Unwrap(object, "CoMarshalInterface"), destContext, destContextData, flags);
}

bool StrictComOn() {
    const char* on = std::getenv("SERVERLINK_STRICT_COM");
    return on != nullptr && std::strcmp(on, "1") == 0;
}

std::string StrictHookGaps(HMODULE module) {
    std::string gaps;
    ForEachComImport(module, [&](const char* dll, const char* name, void**) {
        // An import without a name could be any function at all.
        const std::string gap = name == nullptr ? std::string("a nameless import of ") + dll
                                : IsProxyPath(name) && HookFor(name) == nullptr ? name
                                                                                : "";
        if (!gap.empty()) gaps += (gaps.empty() ? "" : " ") + gap;
    });
    return gaps;
}

bool InstallStrictCom(std::string* error) {
    static std::mutex lock;
    static bool installed = false;
    std::lock_guard<std::mutex> hold(lock);
    if (installed) return true;
    std::string why, hooked, failed;
    const HMODULE dll = RegisteredModule(&why);
    if (dll != nullptr) {
        const std::string gaps = StrictHookGaps(dll);
        if (!gaps.empty()) {
            why = "serverlink.dll imports what the strict layer cannot check: " + gaps;
        } else {
            hooked = PatchImports(dll, &failed);
            if (!failed.empty())
                why = "cannot hook " + failed;
            else if (hooked.empty())
                why = "serverlink.dll imports none of the COM functions the strict layer hooks";
        }
    }
    if (why.empty()) {
        std::printf("strict COM: hooked %s\n", hooked.c_str());
        installed = true;
    }
    if (error != nullptr) *error = why;
    return installed;
}

size_t StrictViolationCount() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_violations.size();
}

size_t StrictWrappedCount() { return static_cast<size_t>(g_wrapped); }

HRESULT StrictCreateLocalServer(ILocalServer** server) {
    return HookCoCreateInstance(CLSID_LocalServer, nullptr, CLSCTX_LOCAL_SERVER, IID_ILocalServer,
                                reinterpret_cast<void**>(server));
}

ExpectStrictViolations::ExpectStrictViolations() : m_start(StrictViolationCount()) {
    InterlockedIncrement(&g_expecting);
}

ExpectStrictViolations::~ExpectStrictViolations() { InterlockedDecrement(&g_expecting); }

size_t ExpectStrictViolations::Count() const { return StrictViolationCount() - m_start; }

std::string ExpectStrictViolations::Text() const {
    std::lock_guard<std::mutex> hold(g_lock);
    std::string text;
    for (size_t i = m_start; i < g_violations.size(); ++i) text += g_violations[i] + "\n";
    return text;
}

}  // namespace testing_support

// Referenced at link time (tests/CMakeLists.txt) so that every test program
// keeps this file, and with it the environment that switches the layer on.
extern "C" int serverlink_strict_com_anchor;
int serverlink_strict_com_anchor = 0;
static ::testing::Environment* const g_strictEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing_support::StrictComEnvironment);
