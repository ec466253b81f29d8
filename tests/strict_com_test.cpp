// The strict COM layer itself: a proxy released from an apartment other than the
// one that obtained it is caught, and a table marshal of a proxy is refused.
#include <gtest/gtest.h>

#include <thread>

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
    HRESULT created = E_FAIL, called = E_FAIL, tableWeak = S_OK, tableStrong = S_OK;
    HANDLE made = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        ComScope sta;
        created = StrictCreateLocalServer(&server);
        IStream* stream = nullptr;
        if (SUCCEEDED(created) && SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) {
            LONG value = 0;
            called = server->QueryA(7, &value);
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
    const auto log = ref.Log();
    EXPECT_EQ(log.empty() ? std::string() : log.back(), "QueryA 7");
    EXPECT_EQ(tableWeak, E_INVALIDARG);
    EXPECT_EQ(tableStrong, E_INVALIDARG);
    ASSERT_EQ(expect.Count(), 1u) << expect.Text();
    EXPECT_EQ(expect.Text().rfind("Release: ", 0), 0u) << expect.Text();
    EXPECT_TRUE(WaitFor([&] { return ref.ObjectCount() == before; })) << "the proxy's server object stayed";
}
