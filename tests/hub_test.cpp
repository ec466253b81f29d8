// The process-wide ring hub and its receive thread, run for real: link objects
// connected to the reference local server own the rings, the test plays the
// local server by writing event messages into each incoming ring, and the sinks
// record what the receive thread hands them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "common/crit_sec.h"
#include "common/module_lock.h"
#include "link/server_link.h"
#include "raw_section.h"
#include "shm/channel_hub.h"
#include "shm/shm_queue.h"
#include "test_support.h"

using namespace serverlink;
using testing_support::FreshRingNumber;
using testing_support::kOuterPatienceMs;
using testing_support::kPatienceMs;
using testing_support::SectionExists;
using testing_support::UniqueNumber;
using testing_support::WaitFor;

namespace {

constexpr int32_t kSlots = 128;
constexpr LONG kCode = 100;  // an event code the link passes on unchanged

CChannelHub& Hub() { return CChannelHub::Instance(); }

// Lets time pass on the test thread while its apartment is served.
void Pump(DWORD ms) {
    WaitFor([] { return false; }, ms);
}

// One event as a sink heard it.
struct Heard {
    std::string tag;      // the sink's
    ULONG peer = 0;       // which ring the test wrote it into
    LONG seq = 0;         // its number within that ring
    DWORD thread = 0;     // the thread that called the sink
    DWORD hubThread = 0;  // the hub's receive thread id, read inside the call
};

// Every event heard by one test's sinks, in call order. The receive thread
// appends; the test thread reads while it runs, hence the lock.
class EventLog {
public:
    void Add(Heard h) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_counts[h.tag];
        m_heard.push_back(std::move(h));
    }
    std::vector<Heard> Snapshot() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_heard;
    }
    size_t Size() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_heard.size();
    }
    size_t CountOf(const std::string& tag) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_counts.find(tag);
        return it == m_counts.end() ? 0 : it->second;
    }
    // "A0 B0 A1 ...": tag and sequence number of every event, in order.
    std::string Order() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string s;
        for (const Heard& h : m_heard) s += (s.empty() ? "" : " ") + h.tag + std::to_string(h.seq);
        return s;
    }

private:
    std::mutex m_mutex;
    std::vector<Heard> m_heard;
    std::map<std::string, size_t> m_counts;
};

// Logs the test's own events under its tag, with the hub's idea of its receive
// thread read inside the call.
class TaggedSink final : public IEventSink {
public:
    TaggedSink(EventLog& log, std::string tag) : m_log(log), m_tag(std::move(tag)) {}

    // Runs on the receive thread after the event is logged.
    std::function<void(const Heard&)> onEvent;

    HRESULT STDMETHODCALLTYPE OnEvent(ULONG id, LONG code, LONG_PTR param, LONG) override {
        if (code != kCode) return S_OK;
        Heard h;
        h.tag = m_tag;
        h.peer = id;
        h.seq = static_cast<LONG>(param);
        h.thread = GetCurrentThreadId();
        h.hubThread = Hub().ReceiveThreadId();
        m_log.Add(h);
        if (onEvent) onEvent(h);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnData(ULONG, const BYTE*, ULONG, LONG) override { return S_OK; }

private:
    EventLog& m_log;
    std::string m_tag;
};

// Checks that events come numbered 0, 1, 2, ... without logging them.
class SequenceSink final : public IEventSink {
public:
    HRESULT STDMETHODCALLTYPE OnEvent(ULONG, LONG code, LONG_PTR param, LONG) override {
        if (code != kCode) return S_OK;
        const LONG expected = next.load();
        if (static_cast<LONG>(param) != expected && bad.fetch_add(1) == 0) firstBad.store(expected);
        next.store(static_cast<LONG>(param) + 1);
        calls.fetch_add(1);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnData(ULONG, const BYTE*, ULONG, LONG) override { return S_OK; }

    std::atomic<LONG> next{0};
    std::atomic<LONG> calls{0};
    std::atomic<LONG> bad{0};
    std::atomic<LONG> firstBad{-1};
};

// The local server's end of an incoming ring: opened, never created.
std::unique_ptr<CShmQueue> OpenRing(uint32_t n) {
    try {
        return std::make_unique<CShmQueue>(n, kSlots, false);
    } catch (const serverlink::CError&) {
        return nullptr;
    }
}

bool Send(CShmQueue& ring, ULONG peer, LONG seq) {
    ShmMessage m;
    m.type = kMsgEvent;
    m.peerId = peer;
    m.eventCode = kCode;
    m.eventParam = seq;
    m.extra = ~seq;
    return ring.Write(m);
}

// What a busy client does in a callback: allocates small blocks and fills
// them. Memory the hub freed earlier in the same callback is handed out again
// at once and overwritten, so a pass that still used it would trip. The blocks
// live as long as `keep`.
using Scribbles = std::vector<std::unique_ptr<uint8_t[]>>;
void Scribble(Scribbles& keep) {
    for (size_t size = 8; size <= 96; size += 4) {
        for (int i = 0; i < 4; ++i) {
            keep.push_back(std::make_unique<uint8_t[]>(size));
            std::memset(keep.back().get(), 0xFF, size);
        }
    }
}

// A real handle to the calling thread, to wait for that thread's end later.
class ThreadHandle {
public:
    ThreadHandle() = default;
    ~ThreadHandle() {
        if (m_h != nullptr) CloseHandle(m_h);
    }
    ThreadHandle(const ThreadHandle&) = delete;
    ThreadHandle& operator=(const ThreadHandle&) = delete;
    void TakeCurrent() {
        if (m_h == nullptr)
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &m_h, SYNCHRONIZE, FALSE, 0);
    }
    bool Ended(DWORD limitMs) const { return m_h != nullptr && WaitForSingleObject(m_h, limitMs) == WAIT_OBJECT_0; }

private:
    HANDLE m_h = nullptr;  // written on the receive thread, read after the test saw that write
};

// Ring numbers name sections shared by every process, so each test takes fresh
// ones. Client ids are only keys of this process's hub, which every test finds
// empty: tests that need a known order use small fixed ids.
class HubTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_com.hr()));
        // One process may run several of these tests: each starts and leaves the hub idle.
        ASSERT_EQ(Hub().RingCount(), 0u);
        ASSERT_FALSE(Hub().IsRunning());
    }

    void TearDown() override {
        UnregisterAll();  // what a failed test left
        EXPECT_EQ(Hub().RingCount(), 0u);
        for (CServerLink*& link : m_links) {
            if (link != nullptr) {
                EXPECT_EQ(link->Release(), 0u);
            }
            link = nullptr;
        }
    }

    // A connected link object with one recording sink under key 0 (none for a null tag).
    CServerLink* NewLink(const char* tag, TaggedSink** sink = nullptr) {
        CServerLink* link = new CServerLink();
        link->AddRef();
        m_links.push_back(link);
        EXPECT_TRUE(link->Connected()) << "the reference local server could not be started";
        if (tag == nullptr) return link;
        m_sinks.push_back(std::make_unique<TaggedSink>(m_log, tag));
        EXPECT_EQ(link->AddSubscriber(m_sinks.back().get(), 0), S_OK);
        if (sink != nullptr) *sink = m_sinks.back().get();
        return link;
    }

    // Callbacks use the test body's locals. Declared after them, this runs
    // first when the body ends, passed or failed: every ring of the test goes,
    // the thread stops, and no callback runs any more.
    class Quiesce {
    public:
        explicit Quiesce(HubTest& test) : m_test(test) {}
        ~Quiesce() { m_test.UnregisterAll(); }
        Quiesce(const Quiesce&) = delete;
        Quiesce& operator=(const Quiesce&) = delete;

    private:
        HubTest& m_test;
    };

    void UnregisterAll() {
        for (uint32_t id : m_clientIds) Hub().Unregister(id);
        EXPECT_TRUE(WaitFor([] { return !Hub().IsRunning(); }));
        for (auto& sink : m_sinks) sink->onEvent = nullptr;
    }

    // Releases a link before the test ends; the count it returns.
    ULONG ReleaseLink(CServerLink* link) {
        for (CServerLink*& held : m_links)
            if (held == link) held = nullptr;
        return link->Release();
    }

    // Registers ring n for clientId and opens the local server's end of it.
    CShmQueue* Register(uint32_t clientId, CServerLink* owner, uint32_t n) {
        m_clientIds.push_back(clientId);
        if (!Hub().Register(clientId, owner, n, kSlots)) return nullptr;
        return OpenServerEnd(n);
    }

    CShmQueue* OpenServerEnd(uint32_t n) {
        m_rings.push_back(OpenRing(n));
        return m_rings.back().get();
    }

    testing_support::ComScope m_com;  // the test thread's STA, left last
    EventLog m_log;
    std::vector<std::unique_ptr<CShmQueue>> m_rings;      // the test's ends, outlive the links
    std::vector<std::unique_ptr<TaggedSink>> m_sinks;     // outlive the links that call them
    SequenceSink m_sequence;                              // likewise
    std::vector<CServerLink*> m_links;                    // one reference each
    std::vector<uint32_t> m_clientIds;
};

using HubDelivery = HubTest;
using HubLifecycle = HubTest;
using HubCallbacks = HubTest;
using HubConcurrency = HubTest;

}  // namespace

// ---------------------------------------------------------------------------
// Delivery order and traffic

TEST_F(HubDelivery, RingsTakeTurnsOneMessageEachPerPassSmallerUnsignedClientIdFirst) {
    CServerLink* a = NewLink("A");
    CServerLink* b = NewLink("B");
    // Registered in the opposite order; 0xFFFFFFFF must sort after 5, not before it.
    CShmQueue* ringB = Register(0xFFFFFFFFu, b, FreshRingNumber());
    CShmQueue* ringA = Register(5u, a, FreshRingNumber());
    ASSERT_NE(ringA, nullptr);
    ASSERT_NE(ringB, nullptr);
    for (LONG seq = 0; seq < 3; ++seq) {
        ASSERT_TRUE(Send(*ringA, 1, seq));
        ASSERT_TRUE(Send(*ringB, 2, seq));
    }
    ASSERT_TRUE(Hub().Start());
    const DWORD receiver = Hub().ReceiveThreadId();
    EXPECT_NE(receiver, 0u);
    EXPECT_NE(receiver, GetCurrentThreadId());

    ASSERT_TRUE(WaitFor([&] { return m_log.Size() >= 6; }));
    EXPECT_EQ(m_log.Order(), "A0 B0 A1 B1 A2 B2");
    for (const Heard& h : m_log.Snapshot()) {
        EXPECT_EQ(h.thread, receiver);
        EXPECT_EQ(h.hubThread, receiver);
        EXPECT_EQ(h.peer, h.tag == "A" ? 1u : 2u);
    }

    EXPECT_TRUE(Hub().Unregister(5u, a));
    EXPECT_TRUE(Hub().Unregister(0xFFFFFFFFu, b));
}

TEST_F(HubDelivery, AnEmptiedRingDropsOutOfTheTurnsAndTheOthersCarryOn) {
    CServerLink* p = NewLink("P");
    CServerLink* q = NewLink("Q");
    CServerLink* r = NewLink("R");
    // 0x80000000 is negative as a signed number: it must still sort between 7 and 0xFFFFFFFE.
    CShmQueue* ringR = Register(0xFFFFFFFEu, r, FreshRingNumber());
    CShmQueue* ringP = Register(0x80000000u, p, FreshRingNumber());
    CShmQueue* ringQ = Register(7u, q, FreshRingNumber());
    ASSERT_TRUE(ringP && ringQ && ringR);
    for (LONG seq = 0; seq < 3; ++seq) ASSERT_TRUE(Send(*ringP, 1, seq));
    ASSERT_TRUE(Send(*ringQ, 2, 0));
    for (LONG seq = 0; seq < 2; ++seq) ASSERT_TRUE(Send(*ringR, 3, seq));
    ASSERT_TRUE(Hub().Start());

    ASSERT_TRUE(WaitFor([&] { return m_log.Size() >= 6; }));
    EXPECT_EQ(m_log.Order(), "Q0 P0 R0 P1 R1 P2");

    // A ring that ran dry is read again as soon as it has something.
    ASSERT_TRUE(Send(*ringQ, 2, 1));
    ASSERT_TRUE(WaitFor([&] { return m_log.Size() >= 7; }));
    EXPECT_EQ(m_log.Order(), "Q0 P0 R0 P1 R1 P2 Q1");
}

TEST_F(HubDelivery, NineSecondsOfUnbrokenTrafficArriveCompleteAndInOrder) {
    // Longer than the idle heartbeat interval, with the busy ring never running
    // dry: every message must arrive exactly once and in order.
    constexpr ULONGLONG kRunMs = 9000;
    // Millions of events: the busy ring is checked inside the callback, not logged.
    SequenceSink& checker = m_sequence;
    CServerLink* busyLink = NewLink(nullptr);
    ASSERT_EQ(busyLink->AddSubscriber(&checker, 0), S_OK);
    CServerLink* quietLink = NewLink("quiet");
    const uint32_t busyRing = FreshRingNumber();
    ASSERT_NE(Register(UniqueNumber(), busyLink, busyRing), nullptr);
    CShmQueue* quiet = Register(UniqueNumber(), quietLink, FreshRingNumber());
    ASSERT_NE(quiet, nullptr);
    ASSERT_TRUE(Hub().Start());

    std::atomic<LONG> written{0};
    std::atomic<bool> writerOk{true};
    std::thread writer([&] {
        std::unique_ptr<CShmQueue> ring = OpenRing(busyRing);
        if (!ring) {
            writerOk = false;
            return;
        }
        const ULONGLONG start = GetTickCount64();
        LONG seq = 0;
        while (GetTickCount64() - start < kRunMs) {
            if (Send(*ring, 1, seq))
                written.store(++seq);
            else
                SwitchToThread();  // full: the hub has not caught up yet
        }
    });
    // A trickle on a second ring must not be starved by the busy one.
    LONG quietSent = 0;
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < kRunMs) {
        if (Send(*quiet, 2, quietSent)) ++quietSent;
        Pump(250);
    }
    writer.join();
    ASSERT_TRUE(writerOk.load());
    const LONG total = written.load();
    ASSERT_GT(total, 0);

    ASSERT_TRUE(WaitFor([&] { return checker.next.load() >= total && LONG(m_log.CountOf("quiet")) >= quietSent; }))
        << checker.next.load() << " of " << total << " busy messages delivered";
    // Nothing extra after the last one: a sentinel on the quiet ring arrives
    // after at least one more pass over the busy ring.
    ASSERT_TRUE(Send(*quiet, 2, quietSent));
    ASSERT_TRUE(WaitFor([&] { return LONG(m_log.CountOf("quiet")) > quietSent; }));
    EXPECT_EQ(checker.bad.load(), 0) << "first out-of-order message where " << checker.firstBad.load()
                                     << " was expected";
    EXPECT_EQ(checker.next.load(), total);
    EXPECT_EQ(checker.calls.load(), total) << "messages lost or delivered twice";

    std::vector<LONG> quietSeqs;
    for (const Heard& h : m_log.Snapshot()) quietSeqs.push_back(h.seq);
    ASSERT_EQ(quietSeqs.size(), size_t(quietSent + 1));
    for (size_t i = 0; i < quietSeqs.size(); ++i) EXPECT_EQ(quietSeqs[i], LONG(i));

    EXPECT_TRUE(Hub().UnregisterOwner(busyLink));
    EXPECT_TRUE(Hub().UnregisterOwner(quietLink));
    EXPECT_EQ(busyLink->RemoveSubscriber(&checker, 0), S_OK);
}

// ---------------------------------------------------------------------------
// Register, Start, Unregister and Stop

TEST_F(HubLifecycle, LastUnregisterStopsTheThreadAndALaterStartMakesANewOne) {
    CServerLink* a = NewLink("A");
    const uint32_t id = UniqueNumber();
    CShmQueue* ring = Register(id, a, FreshRingNumber());
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(Hub().RingCount(), 1u);
    EXPECT_FALSE(Hub().IsRunning()) << "Register alone starts nothing";

    ASSERT_TRUE(Hub().Start());
    EXPECT_TRUE(Hub().IsRunning());
    const DWORD first = Hub().ReceiveThreadId();
    ASSERT_NE(first, 0u);
    ThreadHandle firstThread;
    TaggedSink* sink = m_sinks.back().get();
    sink->onEvent = [&](const Heard&) { firstThread.TakeCurrent(); };
    Quiesce quiesce(*this);
    ASSERT_TRUE(Send(*ring, 1, 0));
    ASSERT_TRUE(WaitFor([&] { return m_log.Size() == 1; }));
    EXPECT_EQ(m_log.Snapshot()[0].thread, first);

    // Starting again while it runs keeps the same thread.
    EXPECT_TRUE(Hub().Start());
    EXPECT_EQ(Hub().ReceiveThreadId(), first);

    EXPECT_TRUE(Hub().Unregister(id, a));
    EXPECT_FALSE(Hub().IsRunning());
    EXPECT_EQ(Hub().ReceiveThreadId(), 0u);
    EXPECT_EQ(Hub().RingCount(), 0u);
    EXPECT_TRUE(firstThread.Ended(kPatienceMs)) << "the receive thread is still alive";

    // A new ring and a new Start: a new thread, and delivery again.
    sink->onEvent = nullptr;
    const uint32_t id2 = UniqueNumber();
    CShmQueue* ring2 = Register(id2, a, FreshRingNumber());
    ASSERT_NE(ring2, nullptr);
    ASSERT_TRUE(Hub().Start());
    const DWORD second = Hub().ReceiveThreadId();
    EXPECT_NE(second, 0u);
    EXPECT_TRUE(Hub().IsRunning());
    ASSERT_TRUE(Send(*ring2, 2, 1));
    ASSERT_TRUE(WaitFor([&] { return m_log.Size() == 2; }));
    EXPECT_EQ(m_log.Snapshot()[1].thread, second);
    EXPECT_EQ(m_log.Order(), "A0 A1");

    EXPECT_TRUE(Hub().Unregister(id2, a));
    EXPECT_FALSE(Hub().IsRunning());
    EXPECT_EQ(Hub().ReceiveThreadId(), 0u);
}

TEST_F(HubLifecycle, UnregisterOfAnUnknownClientOrByAnotherOwnerChangesNothing) {
    CServerLink* a = NewLink("A");
    CServerLink* b = NewLink("B");
    CServerLink* ringless = NewLink(nullptr);
    const uint32_t idA = UniqueNumber();
    const uint32_t idB = UniqueNumber();
    CShmQueue* ringA = Register(idA, a, FreshRingNumber());
    CShmQueue* ringB = Register(idB, b, FreshRingNumber());
    ASSERT_TRUE(ringA && ringB);
    ASSERT_TRUE(Hub().Start());
    const DWORD thread = Hub().ReceiveThreadId();

    EXPECT_FALSE(Hub().Unregister(UniqueNumber()));
    EXPECT_FALSE(Hub().Unregister(idA, b)) << "b does not own idA's ring";
    EXPECT_FALSE(Hub().UnregisterOwner(ringless));
    EXPECT_TRUE(Hub().IsRunning());
    EXPECT_EQ(Hub().ReceiveThreadId(), thread);
    EXPECT_EQ(Hub().RingCount(), 2u);

    ASSERT_TRUE(Send(*ringA, 1, 0));
    ASSERT_TRUE(Send(*ringB, 2, 0));
    ASSERT_TRUE(WaitFor([&] { return m_log.Size() == 2; }));
    EXPECT_EQ(m_log.CountOf("A"), 1u);
    EXPECT_EQ(m_log.CountOf("B"), 1u);

    // Removing one of two rings leaves the thread running for the other.
    EXPECT_TRUE(Hub().UnregisterOwner(a));
    EXPECT_TRUE(Hub().IsRunning());
    EXPECT_EQ(Hub().ReceiveThreadId(), thread);
    ASSERT_TRUE(Send(*ringB, 2, 1));
    ASSERT_TRUE(WaitFor([&] { return m_log.Size() == 3; }));
    EXPECT_EQ(m_log.Order(), "A0 B0 B1");

    EXPECT_TRUE(Hub().Unregister(idB));  // no owner given: any owner matches
    EXPECT_FALSE(Hub().IsRunning());
}

TEST_F(HubLifecycle, RegisterWithoutAnOwnerIsRefusedAndMakesNoSection) {
    const uint32_t n = FreshRingNumber();
    EXPECT_FALSE(Hub().Register(UniqueNumber(), nullptr, n, kSlots));
    EXPECT_FALSE(SectionExists(n));
    EXPECT_EQ(Hub().RingCount(), 0u);
    EXPECT_FALSE(Hub().IsRunning());
}

TEST_F(HubLifecycle, RegisterOverATooSmallSectionIsRefusedAndLeavesHubAndSectionAlone) {
    CServerLink* a = NewLink("A");
    CServerLink* b = NewLink("B");
    const uint32_t idA = UniqueNumber();
    CShmQueue* ringA = Register(idA, a, FreshRingNumber());
    ASSERT_NE(ringA, nullptr);
    ASSERT_TRUE(Hub().Start());
    const DWORD thread = Hub().ReceiveThreadId();

    // Someone else already holds the name, with a section too small for a ring.
    const uint32_t squatted = FreshRingNumber();
    testing_support::RawSection squatter(squatted, 4096);
    ASSERT_TRUE(squatter.Ok());
    for (size_t i = 0; i < 4096; ++i) squatter.Bytes()[i] = static_cast<uint8_t>(0xA5 ^ i);
    const std::vector<uint8_t> before = squatter.Snapshot();

    const uint32_t idB = UniqueNumber();
    EXPECT_FALSE(Hub().Register(idB, b, squatted, kSlots));
    EXPECT_EQ(squatter.Snapshot(), before) << "the refused ring wrote into someone else's section";
    EXPECT_EQ(Hub().RingCount(), 1u);
    EXPECT_TRUE(Hub().IsRunning());
    EXPECT_EQ(Hub().ReceiveThreadId(), thread);
    ASSERT_TRUE(Send(*ringA, 1, 0));
    ASSERT_TRUE(WaitFor([&] { return m_log.Size() == 1; }));

    // The refusal left no entry behind: the same client id registers on a good ring.
    CShmQueue* ringB = Register(idB, b, FreshRingNumber());
    ASSERT_NE(ringB, nullptr);
    EXPECT_TRUE(Hub().Start());
    ASSERT_TRUE(Send(*ringB, 2, 0));
    ASSERT_TRUE(WaitFor([&] { return m_log.Size() == 2; }));
    EXPECT_EQ(m_log.Order(), "A0 B0");

    EXPECT_TRUE(Hub().Unregister(idA, a));
    EXPECT_TRUE(Hub().Unregister(idB, b));
}

TEST_F(HubLifecycle, SecondRegisterOfAClientIdIsRefusedAndLeavesNoSectionOpen) {
    CServerLink* a = NewLink("A");
    CServerLink* b = NewLink("B");
    const uint32_t id = UniqueNumber();
    CShmQueue* first = Register(id, a, FreshRingNumber());
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(Hub().Start());

    const uint32_t other = FreshRingNumber();
    EXPECT_FALSE(Hub().Register(id, b, other, kSlots));
    EXPECT_FALSE(Hub().Register(id, a, other, kSlots)) << "the same owner may not take a second ring either";
    // Nobody else knows this ring number: a section left by the hub would still exist.
    EXPECT_FALSE(SectionExists(other));
    EXPECT_EQ(Hub().RingCount(), 1u);

    // The first ring still delivers, to its own owner.
    ASSERT_TRUE(Send(*first, 1, 0));
    ASSERT_TRUE(WaitFor([&] { return m_log.Size() == 1; }));
    EXPECT_EQ(m_log.Order(), "A0");

    EXPECT_FALSE(Hub().Unregister(id, b));
    EXPECT_TRUE(Hub().Unregister(id, a));
}

TEST_F(HubLifecycle, ModuleLockIsHeldWhileTheReceiveThreadRuns) {
    const LONG before = ModuleLockCount();
    CServerLink* a = NewLink("A");
    // The link, and its owner thread's agent while that has something registered.
    const LONG base = ModuleLockCount();
    EXPECT_GT(base, before);
    const uint32_t id = UniqueNumber();
    CShmQueue* ring = Register(id, a, FreshRingNumber());
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(ModuleLockCount(), base) << "a registered ring alone holds no lock";

    ASSERT_TRUE(Hub().Start());
    EXPECT_EQ(ModuleLockCount(), base + 1);
    ASSERT_TRUE(Send(*ring, 1, 0));
    ASSERT_TRUE(WaitFor([&] { return m_log.Size() == 1; }));
    EXPECT_EQ(ModuleLockCount(), base + 1);

    EXPECT_TRUE(Hub().Unregister(id, a));
    // The thread gives its lock back on its way out, just after Stop has seen it finish.
    EXPECT_TRUE(WaitFor([&] { return ModuleLockCount() == base; })) << ModuleLockCount() - base;

    EXPECT_EQ(ReleaseLink(a), 0u);
    EXPECT_EQ(ModuleLockCount(), before);
}

// ---------------------------------------------------------------------------
// Hub calls made by a sink, on the receive thread, in the middle of a pass

TEST_F(HubCallbacks, SinkUnregisteringItsOwnRingStopsItsDeliveryWhileOthersFlow) {
    TaggedSink* sinkA = nullptr;
    CServerLink* a = NewLink("A", &sinkA);
    CServerLink* b = NewLink("B");
    const uint32_t idA = 10, idB = 11;  // A is read first in each pass
    CShmQueue* ringA = Register(idA, a, FreshRingNumber());
    CShmQueue* ringB = Register(idB, b, FreshRingNumber());
    ASSERT_TRUE(ringA && ringB);
    std::atomic<int> unregistered{-1};
    Scribbles scribbles;  // receive thread only, until it has stopped
    sinkA->onEvent = [&](const Heard&) {
        if (unregistered.load() >= 0) return;
        const bool removed = Hub().Unregister(idA, a);
        Scribble(scribbles);
        unregistered.store(removed ? 1 : 0);
    };
    Quiesce quiesce(*this);
    for (LONG seq = 0; seq < 3; ++seq) {
        ASSERT_TRUE(Send(*ringA, 1, seq));
        ASSERT_TRUE(Send(*ringB, 2, seq));
    }
    ASSERT_TRUE(Hub().Start());
    const DWORD thread = Hub().ReceiveThreadId();

    ASSERT_TRUE(WaitFor([&] { return m_log.CountOf("B") == 3; })) << m_log.Order();
    EXPECT_EQ(unregistered.load(), 1);
    EXPECT_EQ(Hub().RingCount(), 1u);
    EXPECT_TRUE(Hub().IsRunning());
    // A sentinel on B arrives passes later; by then A's two waiting messages
    // would have been read if its ring were still polled.
    ASSERT_TRUE(Send(*ringB, 2, 3));
    ASSERT_TRUE(WaitFor([&] { return m_log.CountOf("B") == 4; }));
    EXPECT_EQ(m_log.Order(), "A0 B0 B1 B2 B3");
    for (const Heard& h : m_log.Snapshot()) {
        EXPECT_EQ(h.thread, thread);
        EXPECT_EQ(h.hubThread, h.thread) << "the receive thread must know itself in every callback";
    }
    EXPECT_EQ(Hub().ReceiveThreadId(), thread);

    EXPECT_TRUE(Hub().Unregister(idB, b));
}

TEST_F(HubCallbacks, RingRemovedByACallbackIsSkippedForTheRestOfThatPass) {
    TaggedSink* sinkA = nullptr;
    CServerLink* a = NewLink("A", &sinkA);
    CServerLink* b = NewLink("B");
    CServerLink* c = NewLink("C");
    const uint32_t idA = 20, idB = 21, idC = 22;  // B comes after A in the same pass
    CShmQueue* ringA = Register(idA, a, FreshRingNumber());
    CShmQueue* ringB = Register(idB, b, FreshRingNumber());
    CShmQueue* ringC = Register(idC, c, FreshRingNumber());
    ASSERT_TRUE(ringA && ringB && ringC);
    std::atomic<int> unregistered{-1};
    Scribbles scribbles;
    sinkA->onEvent = [&](const Heard&) {
        if (unregistered.load() >= 0) return;
        const bool removed = Hub().Unregister(idB, b);
        Scribble(scribbles);
        unregistered.store(removed ? 1 : 0);
    };
    Quiesce quiesce(*this);
    for (LONG seq = 0; seq < 2; ++seq) {
        ASSERT_TRUE(Send(*ringA, 1, seq));
        ASSERT_TRUE(Send(*ringB, 2, seq));
        ASSERT_TRUE(Send(*ringC, 3, seq));
    }
    ASSERT_TRUE(Hub().Start());
    ASSERT_TRUE(WaitFor([&] { return m_log.Size() >= 4; }));
    ASSERT_TRUE(Send(*ringC, 3, 2));
    ASSERT_TRUE(WaitFor([&] { return m_log.CountOf("C") == 3; }));
    EXPECT_EQ(unregistered.load(), 1);
    EXPECT_EQ(m_log.Order(), "A0 C0 A1 C1 C2");
    EXPECT_EQ(Hub().RingCount(), 2u);

    EXPECT_TRUE(Hub().Unregister(idA, a));
    EXPECT_TRUE(Hub().Unregister(idC, c));
}

TEST_F(HubCallbacks, SinkUnregisteringTheLastRingStopsTheThreadAndRegisterStartWorksAfter) {
    TaggedSink* sink = nullptr;
    CServerLink* a = NewLink("A", &sink);
    const LONG base = ModuleLockCount();  // the link's, and its owner thread's agent's
    const uint32_t id = UniqueNumber();
    CShmQueue* ring = Register(id, a, FreshRingNumber());
    ASSERT_NE(ring, nullptr);
    ThreadHandle receiver;
    std::atomic<int> unregistered{-1};
    Scribbles scribbles;
    sink->onEvent = [&](const Heard&) {
        if (unregistered.load() >= 0) return;
        receiver.TakeCurrent();
        const bool removed = Hub().Unregister(id, a);
        Scribble(scribbles);
        unregistered.store(removed ? 1 : 0);
    };
    Quiesce quiesce(*this);
    for (LONG seq = 0; seq < 3; ++seq) ASSERT_TRUE(Send(*ring, 1, seq));
    ASSERT_TRUE(Hub().Start());

    // The sink's own mark, not the hub's state: the hub reads as stopped as soon
    // as the sink's Unregister returns, while the sink is still at work.
    ASSERT_TRUE(WaitFor([&] { return unregistered.load() >= 0; }));
    EXPECT_EQ(unregistered.load(), 1);
    // The thread cannot wait for itself: it ends on its own once the pass is over.
    ASSERT_TRUE(WaitFor([] { return !Hub().IsRunning(); }));
    EXPECT_TRUE(receiver.Ended(kPatienceMs)) << "the receive thread did not end by itself";
    EXPECT_EQ(Hub().RingCount(), 0u);
    EXPECT_TRUE(WaitFor([&] { return ModuleLockCount() == base; })) << ModuleLockCount() - base;
    EXPECT_EQ(m_log.Order(), "A0");

    sink->onEvent = nullptr;
    CShmQueue* ring2 = Register(id, a, FreshRingNumber());
    ASSERT_NE(ring2, nullptr);
    ASSERT_TRUE(Hub().Start());
    EXPECT_TRUE(Hub().IsRunning());
    const DWORD second = Hub().ReceiveThreadId();
    EXPECT_NE(second, 0u);
    ASSERT_TRUE(Send(*ring2, 2, 7));
    ASSERT_TRUE(WaitFor([&] { return m_log.Size() == 2; }));
    EXPECT_EQ(m_log.Order(), "A0 A7");
    EXPECT_EQ(m_log.Snapshot()[1].thread, second);

    EXPECT_TRUE(Hub().Unregister(id, a));
    EXPECT_FALSE(Hub().IsRunning());
    EXPECT_EQ(Hub().ReceiveThreadId(), 0u);
}

TEST_F(HubCallbacks, SinkMovingItsClientToANewRingKeepsTheThreadRunning) {
    TaggedSink* sink = nullptr;
    CServerLink* a = NewLink("A", &sink);
    const uint32_t id = UniqueNumber();
    const uint32_t newRing = FreshRingNumber();
    CShmQueue* ring = Register(id, a, FreshRingNumber());
    ASSERT_NE(ring, nullptr);
    std::atomic<int> step{0};  // 1 unregistered, 2 registered again, 3 started; -n: step n failed
    Scribbles scribbles;
    sink->onEvent = [&](const Heard&) {
        if (step.load() != 0) return;
        // The last ring goes (the thread marks itself to stop) and comes back.
        if (!Hub().Unregister(id, a)) return step.store(-1);
        Scribble(scribbles);
        if (!Hub().Register(id, a, newRing, kSlots)) return step.store(-2);
        if (!Hub().Start()) return step.store(-3);
        step.store(3);
    };
    Quiesce quiesce(*this);
    for (LONG seq = 0; seq < 2; ++seq) ASSERT_TRUE(Send(*ring, 1, seq));
    ASSERT_TRUE(Hub().Start());
    const DWORD thread = Hub().ReceiveThreadId();

    ASSERT_TRUE(WaitFor([&] { return step.load() != 0; }));
    ASSERT_EQ(step.load(), 3);
    CShmQueue* moved = OpenServerEnd(newRing);
    ASSERT_NE(moved, nullptr);
    ASSERT_TRUE(Send(*moved, 2, 5));
    ASSERT_TRUE(WaitFor([&] { return m_log.Size() == 2; }));
    EXPECT_EQ(m_log.Order(), "A0 A5") << "the old ring's second message must stay unread";
    EXPECT_TRUE(Hub().IsRunning());
    EXPECT_EQ(Hub().RingCount(), 1u);
    EXPECT_EQ(Hub().ReceiveThreadId(), thread);
    for (const Heard& h : m_log.Snapshot()) EXPECT_EQ(h.thread, thread);

    EXPECT_TRUE(Hub().Unregister(id, a));
    EXPECT_FALSE(Hub().IsRunning());
}

TEST_F(HubCallbacks, SinkSigningOffFromItsCallbackRemovesItsRingAndOthersFlow) {
    testing_support::RefServer server;
    ASSERT_TRUE(server.ok());
    TaggedSink* sinkA = nullptr;
    CServerLink* a = NewLink("A", &sinkA);
    CServerLink* b = NewLink("B");
    const uint32_t idA = 30, idB = 31;
    CShmQueue* ringA = Register(idA, a, FreshRingNumber());
    CShmQueue* ringB = Register(idB, b, FreshRingNumber());
    ASSERT_TRUE(ringA && ringB);
    std::atomic<bool> signedOff{false};
    std::atomic<HRESULT> hr{E_PENDING};
    sinkA->onEvent = [&](const Heard&) {
        if (signedOff.exchange(true)) return;
        hr.store(a->SignOff());  // calls the local server from the receive thread
    };
    Quiesce quiesce(*this);
    for (LONG seq = 0; seq < 3; ++seq) {
        ASSERT_TRUE(Send(*ringA, 1, seq));
        ASSERT_TRUE(Send(*ringB, 2, seq));
    }
    ASSERT_TRUE(Hub().Start());

    ASSERT_TRUE(WaitFor([&] { return m_log.CountOf("B") == 3; })) << m_log.Order();
    EXPECT_EQ(hr.load(), S_OK);
    EXPECT_EQ(Hub().RingCount(), 1u);
    EXPECT_TRUE(Hub().IsRunning());
    ASSERT_TRUE(Send(*ringB, 2, 3));
    ASSERT_TRUE(WaitFor([&] { return m_log.CountOf("B") == 4; }));
    EXPECT_EQ(m_log.Order(), "A0 B0 B1 B2 B3");
    const std::vector<std::string> log = server.Log();
    bool loggedOut = false;
    for (const std::string& line : log) loggedOut = loggedOut || line.find("Logout") != std::string::npos;
    EXPECT_TRUE(loggedOut) << "SignOff did not reach the local server";

    EXPECT_TRUE(Hub().Unregister(idB, b));
}

// ---------------------------------------------------------------------------
// Several client threads at once

TEST_F(HubConcurrency, StartRacingTheLastUnregisterNeverLeavesARingUnread) {
    constexpr int kRounds = 50;
    CServerLink* q = NewLink("Q");
    CServerLink* r = NewLink("R");
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const uint32_t idQ = UniqueNumber();
        const uint32_t idR = UniqueNumber();
        const uint32_t ringR = FreshRingNumber();
        ASSERT_NE(Register(idQ, q, FreshRingNumber()), nullptr);
        ASSERT_TRUE(Hub().Start());
        m_clientIds.push_back(idR);

        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        bool started = false, removed = false;
        std::thread signOn([&] {
            ready.fetch_add(1);
            while (!go.load()) {
            }
            started = Hub().Register(idR, r, ringR, kSlots) && Hub().Start();
        });
        std::thread signOff([&] {
            ready.fetch_add(1);
            while (!go.load()) {
            }
            removed = Hub().Unregister(idQ, q);
        });
        while (ready.load() < 2) SwitchToThread();
        go.store(true);
        signOn.join();
        signOff.join();
        ASSERT_TRUE(started);
        ASSERT_TRUE(removed);
        EXPECT_EQ(Hub().RingCount(), 1u);
        EXPECT_TRUE(Hub().IsRunning());

        CShmQueue* ring = OpenServerEnd(ringR);
        ASSERT_NE(ring, nullptr);
        ASSERT_TRUE(Send(*ring, 2, round));
        ASSERT_TRUE(WaitFor([&] { return m_log.CountOf("R") == size_t(round + 1); }))
            << "the ring registered during the stop was never read";
        EXPECT_EQ(m_log.Snapshot().back().seq, round);

        ASSERT_TRUE(Hub().Unregister(idR, r));
        ASSERT_FALSE(Hub().IsRunning());
        m_rings.clear();
    }
    EXPECT_EQ(m_log.CountOf("Q"), 0u);
}

TEST_F(HubConcurrency, DestroyingARegisteredLinkRemovesItsRingAndItHearsNothingMore) {
    CServerLink* a = NewLink("A");
    CServerLink* b = NewLink("B");
    const uint32_t ringA = FreshRingNumber();
    const uint32_t ringB = FreshRingNumber();
    const uint32_t idB = UniqueNumber();
    ASSERT_NE(Register(UniqueNumber(), a, ringA), nullptr);
    ASSERT_NE(Register(idB, b, ringB), nullptr);
    ASSERT_TRUE(Hub().Start());

    // The local server keeps writing to both rings through the whole test, also
    // after A's link is gone.
    std::atomic<bool> writerOk{true};
    std::jthread writer([&](std::stop_token stop) {
        std::unique_ptr<CShmQueue> toA = OpenRing(ringA);
        std::unique_ptr<CShmQueue> toB = OpenRing(ringB);
        if (!toA || !toB) {
            writerOk = false;
            return;
        }
        LONG seqA = 0, seqB = 0;
        while (!stop.stop_requested()) {
            if (Send(*toA, 1, seqA)) ++seqA;
            if (Send(*toB, 2, seqB)) ++seqB;
            SwitchToThread();
        }
    });

    ASSERT_TRUE(WaitFor([&] { return m_log.CountOf("A") >= 20; }));
    // Released while the receive thread is delivering to it.
    EXPECT_EQ(ReleaseLink(a), 0u);
    const size_t heardByA = m_log.CountOf("A");
    EXPECT_EQ(Hub().RingCount(), 1u);
    EXPECT_TRUE(Hub().IsRunning());

    const size_t heardByB = m_log.CountOf("B");
    const bool bFlows = WaitFor([&] { return m_log.CountOf("B") >= heardByB + 500; });
    writer.request_stop();
    writer.join();
    ASSERT_TRUE(writerOk.load());
    EXPECT_TRUE(bFlows) << "B stopped hearing after A's link was destroyed";
    EXPECT_EQ(m_log.CountOf("A"), heardByA) << "a destroyed link's sink was still called";

    EXPECT_TRUE(Hub().Unregister(idB, b));
}

// ---------------------------------------------------------------------------
// The receive thread's lock on its own

// A thread that asked for the lock while the looping thread held it has had it
// by the time GiveWay returns, though the looping thread takes the lock back at
// once, as the receive thread does: critical sections are not fair, and the
// one that leaves and re-enters usually wins.
TEST(TurnLock, GiveWayReturnsOnlyOnceEveryWaiterHasHadTheLock) {
    CTurnLock lock;
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> had{false};
        lock.Loop().Lock();
        std::thread waiter([&] {
            lock.Lock();
            had = true;
            lock.Unlock();
        });
        const bool asked = WaitFor([&] { return lock.Waiting() == 1; });
        lock.Loop().Unlock();
        lock.GiveWay();
        lock.Loop().Lock();
        const bool served = had.load();
        lock.Loop().Unlock();
        waiter.join();
        ASSERT_TRUE(asked);
        ASSERT_TRUE(served) << "round " << round << ": GiveWay returned before the waiter had its turn";
    }
}

// ---------------------------------------------------------------------------
// In a process of its own (hub_exit_child.exe)

TEST(HubProcess, FirstUseFromManyThreadsAtOnceMakesOneWorkingHub) {
    testing_support::ChildProcess child(testing_support::BesideExe(L"hub_exit_child.exe"), L"first-use");
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.Wait(kOuterPatienceMs)) << "the child hung";
    EXPECT_EQ(child.ExitCode(), 0u) << child.Stderr();
    EXPECT_NE(child.Stdout().find("first-use: 8 threads, 8 messages"), std::string::npos) << child.Stdout();
}

TEST(HubProcess, ReturningFromMainWithTheThreadBusyDoesNotHang) {
    testing_support::ChildProcess child(testing_support::BesideExe(L"hub_exit_child.exe"), L"exit-return");
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.Wait(kOuterPatienceMs)) << "the child did not exit: " << child.Stdout();
    EXPECT_EQ(child.ExitCode(), 0u) << child.Stderr();
    EXPECT_NE(child.Stdout().find("exiting after"), std::string::npos) << child.Stdout();
}

TEST(HubProcess, ExitProcessWithTheThreadBusyDoesNotHang) {
    testing_support::ChildProcess child(testing_support::BesideExe(L"hub_exit_child.exe"), L"exit-process");
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.Wait(kOuterPatienceMs)) << "the child did not exit: " << child.Stdout();
    EXPECT_EQ(child.ExitCode(), 0u) << child.Stderr();
    EXPECT_NE(child.Stdout().find("exiting after"), std::string::npos) << child.Stdout();
}
