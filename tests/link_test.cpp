// The link object through the real DLL against the real reference server: the
// forwarding methods' arguments as the server saw them, out values, failures,
// and the per-thread server access.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "import_patch.h"
#include "link_helpers.h"
#include "test_support.h"

using namespace testing_support;

namespace {

class Link : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.ok()) << "reference server not reachable";
        baseline = server.ObjectCount();
        ASSERT_EQ(CreateLink(&link), S_OK);
        ASSERT_NE(link, nullptr);
        server.ClearLog();
    }
    void TearDown() override {
        if (link != nullptr) {
            EXPECT_EQ(link->Release(), 0u);
        }
        // Every reference the link took on the server object came back.
        EXPECT_EQ(server.ObjectCount(), baseline);
    }

    std::string LastCall() {
        auto log = server.Log();
        return log.empty() ? std::string() : log.back();
    }

    ComScope com;
    RefServer server;
    LONG baseline = 0;
    IServerLink* link = nullptr;
};

}  // namespace

TEST_F(Link, EachMethodReachesItsServerOperationWithClientIdZeroBeforeSignOn) {
    EXPECT_EQ(link->RequestDefault(1, 2, 3, 4), S_OK);
    EXPECT_EQ(LastCall(), "Request 0 1 3 4 21 2");
    EXPECT_EQ(link->Request(1, 2, 3, 4, 5), S_OK);
    EXPECT_EQ(LastCall(), "Request 0 1 3 4 5 2");
    EXPECT_EQ(link->ClosePeer(77), S_OK);
    EXPECT_EQ(LastCall(), "ClosePeer 0 77");
    EXPECT_EQ(link->QueryA(), S_OK);
    EXPECT_EQ(LastCall(), "QueryA 0");
    EXPECT_EQ(link->QueryB(), S_OK);
    EXPECT_EQ(LastCall(), "QueryB 0");
    const BYTE bytes[] = {0x00, 0x7f, 0x80, 0xff, 0x10};
    EXPECT_EQ(link->PostBlock(-5, bytes, 5), S_OK);
    EXPECT_EQ(LastCall(), "PostBlock 0 -5 [007f80ff10]");
    EXPECT_EQ(link->ModeRequest(9), S_OK);
    EXPECT_EQ(LastCall(), "ModeRequest 0 9 0");
    EXPECT_EQ(link->PairRequest(-1, 2147483647), S_OK);
    EXPECT_EQ(LastCall(), "PairRequest 0 -1 2147483647");
    const LONG values[] = {1, -2, 0x01020304};
    EXPECT_EQ(link->PostValueList(12345, values, 3), S_OK);
    EXPECT_EQ(LastCall(), "PostValueList 0 0 [01000000feffffff04030201] 3");
    EXPECT_EQ(link->ModePairRequest(999, 5, 6), S_OK);
    EXPECT_EQ(LastCall(), "ModePairRequest 0 0 5 6");
    EXPECT_EQ(link->ModeValueRequestA(999, 7), S_OK);
    EXPECT_EQ(LastCall(), "ModeValueRequestA 0 0 7");
    EXPECT_EQ(link->ModeValueRequestB(999, 8), S_OK);
    EXPECT_EQ(LastCall(), "ModeValueRequestB 0 0 8");
    EXPECT_EQ(link->ModeQuery(), S_OK);
    EXPECT_EQ(LastCall(), "ModeQuery 0 0");
    EXPECT_EQ(server.Log().size(), 13u);  // one server call per method, nothing else
}

TEST_F(Link, EmptyBlocksAreSentAsEmptyArrays) {
    EXPECT_EQ(link->PostBlock(3, nullptr, 0), S_OK);
    EXPECT_EQ(LastCall(), "PostBlock 0 3 []");
    EXPECT_EQ(link->PostValueList(0, nullptr, 0), S_OK);
    EXPECT_EQ(LastCall(), "PostValueList 0 0 [] 0");
}

TEST_F(Link, UnsafeBlockArgumentsAreRefusedWithoutAServerCall) {
    EXPECT_EQ(link->PostBlock(1, nullptr, 4), E_FAIL);
    EXPECT_EQ(link->PostValueList(0, nullptr, 2), E_FAIL);
    const LONG one = 1;
    EXPECT_EQ(link->PostValueList(0, &one, 0x40000000u), E_FAIL);  // byte size overflows 32 bits
    EXPECT_EQ(link->PostValueList(0, &one, 0xFFFFFFFFu), E_FAIL);
    EXPECT_TRUE(server.Log().empty());
}

TEST_F(Link, OutValuesPassThroughUnchanged) {
    const struct {
        const wchar_t* op;
        HRESULT (*call)(IServerLink*);
    } rows[] = {
        {L"Request", [](IServerLink* l) { return l->RequestDefault(1, 2, 3, 4); }},
        {L"ClosePeer", [](IServerLink* l) { return l->ClosePeer(5); }},
        {L"QueryA", [](IServerLink* l) { return l->QueryA(); }},
        {L"QueryB", [](IServerLink* l) { return l->QueryB(); }},
        {L"ModeRequest", [](IServerLink* l) { return l->ModeRequest(1); }},
        {L"PairRequest", [](IServerLink* l) { return l->PairRequest(1, 2); }},
        {L"PostValueList", [](IServerLink* l) { return l->PostValueList(0, nullptr, 0); }},
        {L"ModePairRequest", [](IServerLink* l) { return l->ModePairRequest(0, 1, 2); }},
        {L"ModeValueRequestA", [](IServerLink* l) { return l->ModeValueRequestA(0, 1); }},
        {L"ModeValueRequestB", [](IServerLink* l) { return l->ModeValueRequestB(0, 1); }},
        {L"ModeQuery", [](IServerLink* l) { return l->ModeQuery(); }},
    };
    for (const auto& row : rows) {
        for (LONG value : {7L, -1L, LONG(0x80004005), 0L}) {
            server.SetAnswer(row.op, value);
            EXPECT_EQ(row.call(link), HRESULT(value)) << row.op;
        }
    }
}

TEST_F(Link, PostBlockAnswersOkWhateverTheServerWrites) {
    const BYTE b = 1;
    EXPECT_EQ(link->PostBlock(0, &b, 1), S_OK);
}

TEST_F(Link, ServerFailuresBecomeEFailOnEveryThread) {
    const struct {
        const wchar_t* op;
        HRESULT (*call)(IServerLink*);
    } rows[] = {
        {L"Request", [](IServerLink* l) { return l->Request(1, 2, 3, 4, 5); }},
        {L"ClosePeer", [](IServerLink* l) { return l->ClosePeer(5); }},
        {L"QueryA", [](IServerLink* l) { return l->QueryA(); }},
        {L"PostBlock", [](IServerLink* l) { return l->PostBlock(0, nullptr, 0); }},
        {L"ModeQuery", [](IServerLink* l) { return l->ModeQuery(); }},
    };
    for (const auto& row : rows) {
        for (HRESULT failure : {E_ACCESSDENIED, HRESULT(0x80041234), E_UNEXPECTED}) {
            server.SetFailure(row.op, failure, L"refused by script");
            EXPECT_EQ(row.call(link), E_FAIL) << row.op;
            HRESULT other = S_OK;
            RunOnThread([&] { other = row.call(link); });
            EXPECT_EQ(other, E_FAIL) << row.op;
        }
        server.SetFailure(row.op, S_OK, L"");
        EXPECT_NE(row.call(link), E_FAIL) << row.op;
    }
    // The error object was consumed, not left on the owner thread.
    IErrorInfo* info = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
    if (info) info->Release();
}

TEST_F(Link, SecondThreadCallsReachTheServer) {
    HRESULT hr = E_FAIL, after = E_FAIL;
    server.SetAnswer(L"QueryB", 42);
    RunOnThread([&] {
        hr = link->QueryB();  // the link enters COM for the call, and leaves it
        after = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(after)) CoUninitialize();
    });
    EXPECT_EQ(hr, HRESULT(42));
    EXPECT_EQ(after, S_OK) << "the call left its thread in COM";
    EXPECT_EQ(LastCall(), "QueryB 0");
    RunOnThread([&] {
        ComScope mta(COINIT_MULTITHREADED);
        hr = link->RequestDefault(1, 2, 3, 4);
    });
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(LastCall(), "Request 0 1 3 4 21 2");
}

TEST_F(Link, AMultithreadedCallerStaysInCom) {
    RunOnThread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(link->QueryA(), S_OK);
        EXPECT_EQ(link->QueryA(), S_OK);
        // Still in the MTA: a second entry reports S_FALSE, a switch is refused.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
    });
}

TEST_F(Link, ManyCallsFromManyThreadsKeepTheOwnerWorkingAndReferencesBalanced) {
    constexpr int kThreads = 8, kCalls = 12;
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Half the threads are in an apartment of their own, half not in COM at all.
            if (t % 2) CoInitializeEx(nullptr, t % 4 == 1 ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
            for (int i = 0; i < kCalls; ++i)
                if (link->PairRequest(t, i) == S_OK) ++ok;
            if (t % 2) CoUninitialize();
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(ok.load(), kThreads * kCalls);
    EXPECT_EQ(server.Log().size(), size_t(kThreads * kCalls));
    EXPECT_EQ(link->QueryA(), S_OK);  // the owner's proxy still works
    EXPECT_EQ(server.ObjectCount(), baseline + 1);
    // TearDown checks the server object goes away with the link.
}

// Only the owner's apartment may release the owner's proxy. The owner thread
// here pumps its messages, as every single-threaded apartment does, and never
// calls into the DLL again after making the link; the last Release comes on
// another thread. The owner gives the proxy back all the same, and until it has,
// the proxy keeps the module loaded. (Strict mode checks the apartment of
// every release.)
TEST(LinkLifetime, ReleasingOnAnotherThreadGivesTheServerObjectBackThroughItsOwner) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    const LONG baseline = server.ObjectCount();
    StaThread owner;
    IServerLink* link = nullptr;
    HANDLE hold = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(owner.Run([&] { CreateLink(&link); }));
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(server.ObjectCount(), baseline + 1);
    RunOnThread([&] { EXPECT_EQ(link->QueryA(), S_OK); });

    // Held in a call of its own, the owner cannot pump yet.
    HANDLE busy = owner.Start([&] { WaitForSingleObject(hold, kPatienceMs); });
    ASSERT_NE(busy, nullptr);
    ULONG left = 99;
    RunOnThread([&] { left = link->Release(); });
    EXPECT_EQ(left, 0u);
    HRESULT waiting = E_PENDING;
    RunOnThread([&] { waiting = AskCanUnload(); });
    EXPECT_EQ(waiting, S_FALSE) << "the proxy waiting for its owner must keep the module";
    SetEvent(hold);
    EXPECT_TRUE(WaitFor([&] { return server.ObjectCount() == baseline; })) << "the owner never gave its proxy back";
    EXPECT_TRUE(WaitFor([&] { return AskCanUnload() == S_OK; }));
    WaitForSingleObject(busy, kPatienceMs);
    CloseHandle(busy);
    CloseHandle(hold);
}

// An owner that blocks without pumping, then leaves COM without a message
// dispatched: the last Release on another thread returns at once, the proxy
// waits (keeping the module), and goes when the owner's apartment ends.
TEST(LinkLifetime, AnOwnerThatNeverPumpsGivesItsServerObjectBackWhenItLeavesCom) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    const LONG baseline = server.ObjectCount();
    IServerLink* link = nullptr;
    HANDLE made = CreateEventW(nullptr, TRUE, FALSE, nullptr), go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        CreateLink(&link);
        SetEvent(made);
        WaitForSingleObject(go, kOuterPatienceMs);  // blocked, no message served
        CoUninitialize();
    });
    EXPECT_EQ(WaitForSingleObject(made, kPatienceMs), WAIT_OBJECT_0);
    std::atomic<bool> released{false};
    std::atomic<ULONG> left{99};
    std::thread releaser([&] {
        if (link != nullptr) left = link->Release();
        released = true;
    });
    const bool returned = WaitFor([&] { return released.load(); });
    const LONG whileBlocked = server.ObjectCount();
    const HRESULT canUnload = AskCanUnload();
    SetEvent(go);
    owner.join();
    releaser.join();
    CloseHandle(made);
    CloseHandle(go);

    ASSERT_TRUE(returned) << "the Release waited for the owner";
    EXPECT_EQ(left.load(), 0u);
    EXPECT_EQ(whileBlocked, baseline + 1);
    EXPECT_EQ(canUnload, S_FALSE) << "the proxy waiting for its owner must keep the module";
    EXPECT_EQ(server.ObjectCount(), baseline) << "the owner left COM and kept its proxy";
    EXPECT_TRUE(WaitFor([&] { return AskCanUnload() == S_OK; }));
}

// An owner thread that ends without leaving COM takes its apartment with it:
// nothing may release its proxies on another thread. Its links still go there, without a post to a window
// that is gone (it would land in the releasing thread's own queue), and the
// module is free to unload afterwards.
TEST(LinkLifetime, LinksOfAnOwnerThatEndedInsideComGoWithoutIt) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    IServerLink* links[2] = {};
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        CreateLink(&links[0]);
        CreateLink(&links[1]);
    }).join();
    ASSERT_TRUE(links[0] != nullptr && links[1] != nullptr);
    ULONG left[2] = {9, 9};
    bool stray = true;
    RunOnThread([&] {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue, to see what lands there
        left[0] = links[0]->Release();
        left[1] = links[1]->Release();
        stray = PeekMessageW(&msg, nullptr, WM_APP, 0xBFFF, PM_REMOVE) != FALSE;
    });
    EXPECT_EQ(left[0], 0u);
    EXPECT_EQ(left[1], 0u);
    EXPECT_FALSE(stray) << "a hand-back was posted to no window";
    EXPECT_TRUE(WaitFor([&] { return AskCanUnload() == S_OK; })) << "a hand-back nobody can take keeps the module";
    // What becomes of the dead apartment's proxies is COM's: Windows keeps them
    // until the process ends, Wine releases them as the thread ends. That the
    // DLL released neither on another thread, the strict run checks.
}

namespace {
std::atomic<int> g_postsToFail{0};
decltype(&PostMessageW) g_post = nullptr;
BOOL WINAPI FailingPostMessage(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    if (g_postsToFail.load() > 0 && g_postsToFail.fetch_sub(1) > 0) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);  // a full queue: the owner lives on
        return FALSE;
    }
    return g_post(hwnd, message, wp, lp);
}
}  // namespace

// A hand-back whose post fails while the owner lives (its queue full) is not
// left waiting for the owner's apartment to end: the next hand-back posts again,
// and so does DllCanUnloadNow.
TEST(LinkLifetime, AHandBackWhosePostFailedIsPostedAgain) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    const LONG baseline = server.ObjectCount();
    StaThread owner;
    IServerLink* links[3] = {};
    ASSERT_TRUE(owner.Run([&] {
        for (IServerLink*& l : links) CreateLink(&l);
    }));
    ASSERT_TRUE(links[0] && links[1] && links[2]);
    ImportPatch post(GetModuleHandleW(L"serverlink.dll"), "user32.dll", "PostMessageW",
                     reinterpret_cast<void*>(&FailingPostMessage));
    ASSERT_TRUE(post.ok());
    g_post = post.Original<decltype(&PostMessageW)>();

    g_postsToFail = 1;
    RunOnThread([&] { links[0]->Release(); });
    EXPECT_EQ(g_postsToFail.load(), 0) << "no post was tried";
    EXPECT_EQ(server.ObjectCount(), baseline + 3);
    RunOnThread([&] { links[1]->Release(); });
    EXPECT_TRUE(WaitFor([&] { return server.ObjectCount() == baseline + 1; })) << "the failed hand-back still waits";

    g_postsToFail = 1;
    RunOnThread([&] { links[2]->Release(); });
    EXPECT_EQ(g_postsToFail.load(), 0);
    EXPECT_EQ(AskCanUnload(), S_FALSE);
    EXPECT_TRUE(WaitFor([&] { return server.ObjectCount() == baseline; })) << "DllCanUnloadNow did not post again";
    EXPECT_TRUE(WaitFor([&] { return AskCanUnload() == S_OK; }));
}

namespace {
std::atomic<int> g_marshals{0};
decltype(&CoMarshalInterThreadInterfaceInStream) g_marshal = nullptr;
HRESULT WINAPI CountingMarshal(REFIID riid, IUnknown* object, IStream** stream) {
    ++g_marshals;
    return g_marshal(riid, object, stream);
}
}  // namespace

// A link made outside COM (or in the MTA) gets its server object made in the
// multithreaded apartment itself, where its calls go: no marshal packet and no
// hop to another thread. One made in a single-threaded apartment marshals its
// proxy once, for the MTA.
TEST(LinkCreation, OutsideComTheServerObjectIsMadeInTheMultithreadedApartmentDirectly) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    const LONG baseline = server.ObjectCount();
    IServerLink* inSta = nullptr;
    ASSERT_EQ(CreateLink(&inSta), S_OK);  // the DLL is loaded from here on
    ImportPatch patch(GetModuleHandleW(L"serverlink.dll"), "ole32.dll", "CoMarshalInterThreadInterfaceInStream",
                      reinterpret_cast<void*>(&CountingMarshal));
    ASSERT_TRUE(patch.ok());
    g_marshal = patch.Original<decltype(&CoMarshalInterThreadInterfaceInStream)>();

    HRESULT made = E_PENDING, called = E_PENDING;
    IServerLink* outside = nullptr;
    RunOnThread([&] {
        auto getClass = DllExport<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
        IClassFactory* factory = nullptr;
        if (getClass(CLSID_ServerLink, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) return;
        made = factory->CreateInstance(nullptr, IID_IServerLink, reinterpret_cast<void**>(&outside));
        factory->Release();
        if (outside != nullptr) called = outside->QueryA();
    });
    EXPECT_EQ(made, S_OK);
    EXPECT_EQ(called, S_OK);
    EXPECT_EQ(g_marshals.load(), 0) << "the server object went the long way round";
    IServerLink* again = nullptr;
    EXPECT_EQ(CreateLink(&again), S_OK);
    EXPECT_EQ(g_marshals.load(), 1);
    for (IServerLink* l : {inSta, outside, again})
        if (l != nullptr) l->Release();
    EXPECT_TRUE(WaitFor([&] { return server.ObjectCount() == baseline; }));
}

// ---------------------------------------------------------------------------
// Activation while a copy of the reference server retires or waits to serve

namespace {

// Where a client thread's activation got to.
struct Served {
    bool control = false;  // a control object came
    bool link = false;     // a link object reached a LocalServer object
    LONG objects = -1;     // LocalServer objects in the process that served the control
};

// An event for HoldWithdrawalForCall, unique to this call.
class NamedEvent {
public:
    NamedEvent() : m_name(L"serverlink-withdrawal-" + std::to_wstring(UniqueNumber())) {
        m_h = CreateEventW(nullptr, TRUE, FALSE, m_name.c_str());
    }
    ~NamedEvent() {
        if (m_h) CloseHandle(m_h);
    }
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;
    bool ok() const { return m_h != nullptr; }
    const wchar_t* name() const { return m_name.c_str(); }
    bool Wait() const { return WaitForSingleObject(m_h, kPatienceMs) == WAIT_OBJECT_0; }

private:
    std::wstring m_name;
    HANDLE m_h = nullptr;
};

}  // namespace

TEST(LocalServerHandover, AClientArrivingAsTheServerWithdrawsIsServed) {
    // A copy withdraws its class objects when it retires. A client that looked
    // the class up just before and calls in just after must still be served:
    // here the copy is made to withdraw at exactly that moment.
    ComScope com;
    NamedEvent ready;
    ASSERT_TRUE(ready.ok());
    {
        RefServer server;
        ASSERT_TRUE(server.ok()) << "reference server not reachable";
        ASSERT_EQ(server.HoldWithdrawalForCall(ready.name()), S_OK);
    }  // from here the server withdraws as the next call comes in
    ASSERT_TRUE(ready.Wait()) << "the server never armed its withdrawal";

    IServerLink* link = nullptr;
    ASSERT_EQ(CreateLink(&link), S_OK);
    EXPECT_EQ(link->QueryA(), S_OK) << "the link got no server";
    RefServer after;
    EXPECT_TRUE(after.ok()) << "no server after the withdrawal";
    EXPECT_EQ(link->Release(), 0u);
}

TEST(LocalServerHandover, CopiesWaitForTheClaimAsLongAsItsHolderLives) {
    // This test plays a copy that holds the serving claim for seconds on end,
    // on a thread of its own, as a slow retiring copy might; the thread then
    // ends without letting go, as a crashing holder would. Meanwhile two
    // clients activate: COM starts a copy for each, and both copies must wait
    // however long it takes. Then one of them serves both clients, in one
    // process.
    constexpr DWORD kHoldMs = 8000;
    {
        // The copy serving now lets go of the claim at the keeper's last calls
        // (it need not be idle: a client process that died holding an object
        // keeps a copy busy for good).
        ComScope com;
        NamedEvent ready;
        RefServer keeper;
        RefServer arming;
        ASSERT_TRUE(ready.ok());
        ASSERT_TRUE(keeper.ok() && arming.ok()) << "reference server not reachable";
        ASSERT_EQ(arming.HoldWithdrawalForCall(ready.name()), S_OK);
    }
    HANDLE claim = CreateMutexW(nullptr, FALSE, LocalServerServingClaim);
    ASSERT_NE(claim, nullptr);
    HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE letGo = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(taken && letGo);
    std::thread holder([&] {
        const DWORD got = WaitForSingleObject(claim, kPatienceMs);
        if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return;
        SetEvent(taken);
        WaitForSingleObject(letGo, INFINITE);
    });  // ends owning the claim: it is abandoned
    if (WaitForSingleObject(taken, kPatienceMs) != WAIT_OBJECT_0) {
        SetEvent(letGo);
        holder.join();
        FAIL() << "the claim never came free";
    }

    // Each client keeps its link until both have counted the server's objects.
    Served served[2];
    HANDLE alive[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE counted[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i) {
        clients.emplace_back([&, i] {
            ComScope sta;
            RefServer control;  // returns once some copy offers the class
            served[i].control = control.ok();
            IServerLink* link = nullptr;
            if (served[i].control && CreateLink(&link) == S_OK) served[i].link = link->QueryA() == S_OK;
            SetEvent(alive[i]);
            if (served[i].link && WaitForSingleObject(alive[1 - i], kPatienceMs) == WAIT_OBJECT_0)
                served[i].objects = control.ObjectCount();
            SetEvent(counted[i]);
            WaitForSingleObject(counted[1 - i], kPatienceMs);
            if (link) link->Release();
        });
    }
    Sleep(kHoldMs);  // the length of the hold is the point of the test, not a wait for something
    SetEvent(letGo);
    holder.join();
    for (auto& c : clients) c.join();
    for (HANDLE h : {claim, taken, letGo, alive[0], alive[1], counted[0], counted[1]}) CloseHandle(h);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(served[i].control) << "client " << i << " got no server";
        EXPECT_TRUE(served[i].link) << "client " << i << ": link not connected";
    }
    EXPECT_GE(served[0].objects, 2) << "the two clients were served by different copies";
    EXPECT_GE(served[1].objects, 2) << "the two clients were served by different copies";
}
