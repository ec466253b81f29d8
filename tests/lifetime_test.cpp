// A link object at the edges of its lifetime and of concurrency: a sink that
// drops its own link, exceptions on the receive thread, overlapping sign-ons,
// the creating thread's COM entry and server proxy when the last release comes
// elsewhere, and process exit with the receive thread busy.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "common/module_lock.h"
#include "link/server_link.h"
#include "link_helpers.h"
#include "shm/channel_hub.h"
#include "sinks.h"
#include "test_support.h"

using namespace testing_support;
using serverlink::CChannelHub;
using serverlink::CServerLink;

namespace {

constexpr LONG kEvent = 7;  // message type of an incoming event

class Event {
public:
    Event() : m_h(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() { CloseHandle(m_h); }
    void Set() { SetEvent(m_h); }
    bool Wait(DWORD ms = kPatienceMs) { return WaitForSingleObject(m_h, ms) == WAIT_OBJECT_0; }

private:
    HANDLE m_h;
};

}  // namespace

// The sink's release drops the last reference while the receive thread is still
// walking the object's table. Whatever that release freed is written over at
// once with the event's own id, so a walk that went on in freed memory would
// call a "sink" at that address.
TEST(LinkFaults, ASinkMaySignOffAndReleaseItsOwnLinkFromItsCallback) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    const LONG baseline = server.ObjectCount();
    const LONG ringsBefore = server.RingClients();
    IServerLink* link = nullptr;
    ASSERT_EQ(CreateLink(&link), S_OK);

    constexpr ULONG kPoison = 0x0BADF00D;
    const ULONG clientId = UniqueNumber();
    RecordingSink sink;
    std::atomic<HRESULT> signOff{E_PENDING};
    std::vector<std::unique_ptr<uint32_t[]>> scribbles;
    sink.onEvent = [&](const RecordingSink::Call& c) {
        if (c.code != 3 || signOff.load() != E_PENDING) return;
        signOff = link->SignOff();
        link->Release();
        const size_t words = sizeof(CServerLink) / 4 + 1;
        for (int i = 0; i < 4000; ++i) {
            scribbles.emplace_back(new uint32_t[words]);
            std::fill_n(scribbles.back().get(), words, kPoison);
        }
    };
    TestRecord rec = MakeRecord(clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    LONG written = 0;
    ASSERT_EQ(server.Inject(clientId, kEvent, 0, kPoison, 0, 3, 0, 0, {}, &written), S_OK);
    ASSERT_EQ(written, 1);

    // The owner (this thread) gives back its proxy as it pumps messages.
    EXPECT_TRUE(WaitFor([&] { return server.ObjectCount() == baseline; })) << "the link was never destroyed";
    EXPECT_EQ(signOff.load(), S_OK);
    EXPECT_EQ(sink.CountCode(3), 1u);
    EXPECT_EQ(server.RingClients(), ringsBefore);
}

// The last Release comes on a client thread while the receive thread delivers
// to the same link; the client thread's destruction of the link waits for that
// delivery. Meanwhile the sink takes and drops a reference to its link, as
// defensive code does (a QueryInterface, a smart pointer's copy). Only the
// first transition to zero may destroy: the client's Release returns, the link
// goes once, and the module count comes back to where it was.
TEST(LinkFaults, ASinkTakingAReferenceWhileAnotherThreadDestroysTheLinkDoesNotDestroyItAgain) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    const LONG baseline = server.ObjectCount();
    const LONG modules = serverlink::ModuleLockCount();
    CServerLink* link = new CServerLink();
    link->AddRef();
    ASSERT_TRUE(link->Connected());

    Event inside;
    std::atomic<bool> sawWaiter{false};
    std::vector<std::unique_ptr<uint32_t[]>> scribbles;
    RecordingSink sink;
    sink.onEvent = [&](const RecordingSink::Call& c) {
        if (c.code != 55) return;
        inside.Set();
        // The other thread's Release now waits for this delivery to end.
        sawWaiter = WaitFor([] { return CChannelHub::Instance().ClientsWaiting() > 0; });
        link->AddRef();
        link->Release();
        // Whatever a second destruction freed is written over at once.
        const size_t words = sizeof(CServerLink) / 4 + 1;
        for (int i = 0; i < 4000; ++i) {
            scribbles.emplace_back(new uint32_t[words]);
            std::fill_n(scribbles.back().get(), words, 0x0BADF00Du);
        }
    };
    const ULONG clientId = UniqueNumber();
    TestRecord rec = MakeRecord(clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    ASSERT_EQ(server.Inject(clientId, kEvent, 0, 1, 0, 55, 0, 0), S_OK);
    ASSERT_TRUE(inside.Wait());
    std::atomic<bool> released{false};
    std::thread releaser([&] {
        link->Release();
        released = true;
    });
    const bool returned = WaitFor([&] { return released.load(); });
    if (returned)
        releaser.join();
    else
        releaser.detach();  // stuck for good inside a destroyed object
    ASSERT_TRUE(returned) << "the client thread's Release never returned";
    EXPECT_TRUE(sawWaiter.load()) << "the Release did not wait for the delivery";
    // The owner (this thread) gives its proxy back as it pumps messages.
    EXPECT_TRUE(WaitFor([&] { return server.ObjectCount() == baseline; }));
    EXPECT_EQ(serverlink::ModuleLockCount(), modules);
}

// Sinks live in this process here, so that an exception can unwind from one
// through the receive path (across a module boundary it could not).
TEST(LinkFaults, ASinkThatThrowsCostsOnlyItsOwnRecord) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    CServerLink* link = new CServerLink();
    link->AddRef();
    ASSERT_TRUE(link->Connected());

    RecordingSink sink, late;
    sink.onEvent = [&](const RecordingSink::Call& c) {
        if (c.code != 101) return;
        link->AddSubscriber(&late, 0);  // queued: the walk is under way
        throw std::runtime_error("sink failure");
    };
    const ULONG clientId = UniqueNumber();
    TestRecord rec = MakeRecord(clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    ASSERT_EQ(server.Inject(clientId, kEvent, 0, 5, 0, 101, 0, 0), S_OK);
    ASSERT_EQ(server.Inject(clientId, kEvent, 0, 5, 0, 102, 0, 0), S_OK);

    // The thread lived on, the walk that threw ended properly (the queued add
    // was applied) and the next record reached both sinks.
    EXPECT_TRUE(WaitFor([&] { return late.CountCode(102) == 1 && sink.CountCode(102) == 1; }));
    EXPECT_EQ(late.CountCode(101), 0u);
    EXPECT_EQ(link->SignOff(), S_OK);
    EXPECT_EQ(link->Release(), 0u);
}

// While one sign-on waits for the hub (the receive thread is held in another
// object's callback), a second sign-on on the same object is refused at once.
TEST(LinkFaults, AnOverlappingSignOnIsRefusedAtOnce) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    // Processes that died signed on may have left rings attached in the server.
    const LONG ringsBefore = server.RingClients();
    IServerLink *x = nullptr, *y = nullptr;
    ASSERT_EQ(CreateLink(&x), S_OK);
    ASSERT_EQ(CreateLink(&y), S_OK);

    Event inside, release;
    RecordingSink holder, xSink;
    holder.onEvent = [&](const RecordingSink::Call& c) {
        if (c.code != 77) return;
        inside.Set();
        release.Wait(kOuterPatienceMs);
    };
    const ULONG yId = UniqueNumber(), x1 = UniqueNumber(), x2 = UniqueNumber(), x3 = UniqueNumber();
    TestRecord yRec = MakeRecord(yId, &holder), xRec = MakeRecord(x1, &xSink);
    ASSERT_EQ(ClientSignOn(y, yRec), S_OK);
    ASSERT_EQ(ClientSignOn(x, xRec), S_OK);
    ASSERT_EQ(server.Inject(yId, kEvent, 0, 1, 0, 77, 0, 0), S_OK);
    ASSERT_TRUE(inside.Wait());
    server.ClearLog();

    std::atomic<HRESULT> first{E_PENDING}, second{E_PENDING};
    std::thread a([&] {
        ComScope c;
        TestRecord r = MakeRecord(x2, &xSink);
        first = ClientSignOn(x, r);
    });
    // Past its start: it has asked the server for a channel and now waits for the hub.
    const bool firstUnderWay = WaitFor([&] { return server.LogHas("NegotiateChannel"); });
    std::thread b([&] {
        ComScope c;
        TestRecord r = MakeRecord(x3, &xSink);
        second = ClientSignOn(x, r);
    });
    const bool refusedAtOnce = WaitFor([&] { return second.load() != E_PENDING; });
    release.Set();
    a.join();
    b.join();

    EXPECT_TRUE(firstUnderWay);
    EXPECT_TRUE(refusedAtOnce) << "the second sign-on waited for the first";
    EXPECT_EQ(second.load(), E_FAIL);
    EXPECT_EQ(first.load(), S_OK);
    EXPECT_EQ(server.RingClients(), ringsBefore + 2) << "one ring for y, one for x's last sign-on";
    EXPECT_EQ(x->SignOff(), S_OK);
    EXPECT_EQ(y->SignOff(), S_OK);
    EXPECT_EQ(server.RingClients(), ringsBefore);
    x->Release();
    y->Release();
}

namespace {
class NullOwner final : public serverlink::IRingOwner {
public:
    void OnRecord(const serverlink::ShmMessage&) override {}
    bool OnHeartbeatDue() override { return true; }
};
}  // namespace

TEST(LinkFaults, RemovingAnOwnerRemovesEveryRingItHolds) {
    NullOwner owner, other;
    CChannelHub& hub = CChannelHub::Instance();
    const uint32_t c1 = UniqueNumber(), c2 = UniqueNumber(), c3 = UniqueNumber();
    const uint32_t r1 = FreshRingNumber(), r2 = FreshRingNumber(), r3 = FreshRingNumber();
    ASSERT_TRUE(hub.Register(c1, &owner, r1, 128));
    ASSERT_TRUE(hub.Register(c2, &other, r2, 128));
    ASSERT_TRUE(hub.Register(c3, &owner, r3, 128));
    ASSERT_TRUE(hub.Start());

    EXPECT_TRUE(hub.UnregisterOwner(&owner));
    EXPECT_FALSE(SectionExists(r1));
    EXPECT_FALSE(SectionExists(r3));
    EXPECT_TRUE(SectionExists(r2));
    EXPECT_FALSE(hub.UnregisterOwner(&owner));
    EXPECT_TRUE(hub.Unregister(c2));
    EXPECT_TRUE(WaitFor([&] { return !hub.IsRunning(); }));
}

// The constructor's own COM entry never outlives it: a thread that was in the
// single-threaded apartment leaves COM completely with its own CoUninitialize,
// and a thread that was outside COM is still outside afterwards, whichever
// thread releases the link.
TEST(LinkFaults, CreatingALinkLeavesTheThreadsComAsItFoundIt) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    const LONG baseline = server.ObjectCount();

    IServerLink* link = nullptr;
    Event created, released;
    HRESULT call = E_PENDING, mta = E_PENDING;
    std::thread t([&] {
        CoInitialize(nullptr);
        if (CreateLink(&link) == S_OK) call = link->QueryA();
        created.Set();
        released.Wait();
        CoUninitialize();
        mta = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(mta)) CoUninitialize();
    });
    ASSERT_TRUE(created.Wait());
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->Release(), 0u);
    released.Set();
    t.join();
    EXPECT_EQ(call, S_OK);
    EXPECT_EQ(mta, S_OK) << "the creating thread was left in its apartment";

    // The DLL loaded without COM (t's apartment took COM's load of it away).
    HMODULE loaded = LoadLibraryW(BesideExe(L"serverlink.dll").c_str());
    ASSERT_NE(loaded, nullptr);
    HRESULT made = E_PENDING, inMta = E_PENDING, fromThere = E_PENDING;
    std::thread u([&] {
        auto getClass = DllExport<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
        IClassFactory* factory = nullptr;
        IServerLink* l = nullptr;
        if (getClass == nullptr || getClass(CLSID_ServerLink, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK)
            return;
        made = factory->CreateInstance(nullptr, IID_IServerLink, reinterpret_cast<void**>(&l));
        factory->Release();
        inMta = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (l != nullptr) {
            fromThere = l->QueryA();
            l->Release();
        }
        if (SUCCEEDED(inMta)) CoUninitialize();
    });
    u.join();
    EXPECT_EQ(made, S_OK);
    EXPECT_EQ(inMta, S_OK) << "a thread outside COM was left in an apartment";
    EXPECT_EQ(fromThere, S_OK);
    EXPECT_TRUE(WaitFor([&] { return server.ObjectCount() == baseline; }));
    FreeLibrary(loaded);
}

// The creating thread has left COM and ended: other threads go on using the
// link, and the last release gives the server object back at once.
TEST(LinkFaults, OtherThreadsKeepTheLinkAfterItsCreatorEnded) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    const LONG baseline = server.ObjectCount();
    IServerLink* link = nullptr;
    std::thread([&] {
        CoInitialize(nullptr);
        CreateLink(&link);
        CoUninitialize();
    }).join();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->QueryA(), S_OK);
    RunOnThread([&] { EXPECT_EQ(link->QueryB(), S_OK); });
    EXPECT_EQ(link->Release(), 0u);
    EXPECT_EQ(server.ObjectCount(), baseline);
}

// At process exit the hub is left as the dying threads left it: a process that
// exits while its receive thread is busy changing the hub and allocating ends
// promptly and cleanly, several times over.
TEST(LinkFaults, ProcessExitWithTheReceiveThreadBusyLeavesTheHubAlone) {
    for (int run = 0; run < 3; ++run) {
        ChildProcess child(BesideExe(L"lifetime_child.exe"), L"exit-busy");
        ASSERT_TRUE(child.Started());
        ASSERT_TRUE(child.Wait(kOuterPatienceMs)) << "run " << run << ": the child did not exit: " << child.Stdout();
        EXPECT_EQ(child.ExitCode(), 0u) << child.Stderr();
        EXPECT_NE(child.Stdout().find("exiting after"), std::string::npos) << child.Stdout() << child.Stderr();
    }
}
