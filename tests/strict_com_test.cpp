// The strict COM layer itself: a proxy, or an interface got from one, released
// from an apartment other than the one that obtained it is caught, also a later
// apartment of the same thread; a table marshal of a proxy is refused; an
// import it cannot check, and a strict test that checked nothing, fail.
#include <gtest/gtest.h>

#include <thread>

#include "child_process.h"
#include "strict_com.h"
#include "test_support.h"

using namespace testing_support;

TEST(StrictCom, CatchesAReleaseFromAnotherApartmentAndRefusesATableMarshal) {
    std::string why;
    ASSERT_TRUE(InstallStrictCom(&why)) << why;
    ComScope com;
    RefServer ref;
    ASSERT_TRUE(ref.ok()) << "reference server not reachable";
    const LONG before = ref.ObjectCount();

    ExpectStrictViolations expect;
    ILocalServer* server = nullptr;
    ISupportErrorInfo* support = nullptr;
    HRESULT created = E_FAIL, called = E_FAIL, tableWeak = S_OK, tableStrong = S_OK, supports = E_FAIL;
    HANDLE made = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        ComScope sta;
        created = StrictCreateLocalServer(&server);
        IStream* stream = nullptr;
        if (SUCCEEDED(created) && SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) {
            LONG value = 0;
            called = server->QueryA(7, &value);
            if (SUCCEEDED(server->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))))
                supports = support->InterfaceSupportsErrorInfo(IID_ILocalServer);
            tableWeak =
                StrictCoMarshalInterface(stream, IID_ILocalServer, server, MSHCTX_INPROC, nullptr, MSHLFLAGS_TABLEWEAK);
            tableStrong = StrictCoMarshalInterface(stream, IID_ILocalServer, server, MSHCTX_INPROC, nullptr,
                                                   MSHLFLAGS_TABLESTRONG);
            stream->Release();
        }
        SetEvent(made);
        // The apartment stays and serves until the other thread is done.
        WaitFor([&] { return WaitForSingleObject(done, 0) == WAIT_OBJECT_0; });
    });
    const bool madeInTime = WaitForSingleObject(made, kPatienceMs) == WAIT_OBJECT_0;
    const LONG whileHeld = ref.ObjectCount();
    if (madeInTime && server != nullptr) {
        RunOnThread([&] {
            ComScope other;
            server->Release();
            if (support != nullptr) support->Release();
        });
    }
    SetEvent(done);
    owner.join();
    CloseHandle(made);
    CloseHandle(done);

    ASSERT_TRUE(madeInTime);
    ASSERT_EQ(created, S_OK);
    EXPECT_EQ(whileHeld, before + 1);
    // Calls in the proxy's own apartment pass untouched.
    EXPECT_EQ(called, S_OK);
    EXPECT_EQ(supports, S_OK);
    const auto log = ref.Log();
    EXPECT_EQ(log.empty() ? std::string() : log.back(), "QueryA 7");
    EXPECT_EQ(tableWeak, E_INVALIDARG);
    EXPECT_EQ(tableStrong, E_INVALIDARG);
    ASSERT_EQ(expect.Count(), 2u) << expect.Text();
    EXPECT_EQ(expect.Text().rfind("Release: ", 0), 0u) << expect.Text();
    EXPECT_NE(expect.Text().find("\nISupportErrorInfo::Release: "), std::string::npos) << expect.Text();
    EXPECT_TRUE(WaitFor([&] { return ref.ObjectCount() == before; })) << "the proxy's server object stayed";
}

// Same thread, same apartment type, yet another apartment: the thread left COM
// in between, and its first STA's proxies died with it.
TEST(StrictCom, CatchesAProxyUsedInALaterApartmentOfItsThread) {
    std::string why;
    ASSERT_TRUE(InstallStrictCom(&why)) << why;
    ExpectStrictViolations expect;
    HRESULT created = E_FAIL, again = E_FAIL;
    RunOnThread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ILocalServer* server = nullptr;
        created = StrictCreateLocalServer(&server);
        CoUninitialize();
        again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (server != nullptr) {
            server->AddRef();
            server->Release();
        }
        // The last reference can be released nowhere now: it is left.
        if (SUCCEEDED(again)) CoUninitialize();
    });
    ASSERT_EQ(created, S_OK);
    ASSERT_EQ(again, S_OK);
    ASSERT_EQ(expect.Count(), 2u) << expect.Text();
    EXPECT_EQ(expect.Text().rfind("AddRef: ", 0), 0u) << expect.Text();
}

// A DLL that imports a function through which a proxy could pass unhooked
// cannot be checked, and installing fails. This program imports one.
TEST(StrictCom, NamesEveryImportThroughWhichAProxyCouldPassUnchecked) {
    static HRESULT(STDAPICALLTYPE* volatile unhooked)(LPCWSTR, BIND_OPTS*, REFIID, void**) = &CoGetObject;
    ASSERT_NE(unhooked, nullptr);
    std::string why;
    ASSERT_TRUE(InstallStrictCom(&why)) << why;
    EXPECT_EQ(StrictHookGaps(GetModuleHandleW(L"serverlink.dll")), "");
    const std::string gaps = " " + StrictHookGaps(GetModuleHandleW(nullptr)) + " ";
    EXPECT_NE(gaps.find(" CoGetObject "), std::string::npos) << gaps;
    EXPECT_EQ(gaps.find(" CoCreateInstance "), std::string::npos) << "hooked, yet named:" << gaps;
}

// In a strict run a test that wrapped no proxy fails: this program run strict,
// with the first test above (wraps one) and the one just above (wraps none).
TEST(StrictCom, FailsAStrictTestThatWrapsNoProxy) {
    const std::wstring self = BesideExe(L"strict_com_test.exe");
    SetEnvironmentVariableW(L"SERVERLINK_STRICT_COM", L"1");
    ChildProcess child(self,
                       L"--gtest_filter=StrictCom.CatchesAReleaseFromAnotherApartmentAndRefusesATableMarshal:"
                       L"StrictCom.NamesEveryImportThroughWhichAProxyCouldPassUnchecked");
    SetEnvironmentVariableW(L"SERVERLINK_STRICT_COM", nullptr);
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.Wait(kOuterPatienceMs)) << "the strict run hung";
    const std::string out = child.Stdout();
    EXPECT_NE(out.find("[       OK ] StrictCom.CatchesAReleaseFromAnotherApartment"), std::string::npos) << out;
    EXPECT_NE(out.find("the test wrapped no server proxy"), std::string::npos) << out;
    EXPECT_NE(out.find("[  FAILED  ] StrictCom.NamesEveryImport"), std::string::npos) << out;
    EXPECT_NE(out.find(" 1 FAILED TEST"), std::string::npos) << out;
}
