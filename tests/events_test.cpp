// The subscriber table and the dispatch of incoming records, on a link's
// receive side (with the send side whose peer table the events change). The
// records are delivered from a thread of the test's own, as the receive thread
// would deliver them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "events/descramble.h"
#include "link/receive_side.h"
#include "sinks.h"
#include "test_support.h"

using namespace serverlink;

namespace {

constexpr LONG kPause = SERVERLINK_EVENT_PAUSE;
constexpr LONG kResume = SERVERLINK_EVENT_RESUME;
constexpr LONG kPeerReady = LONG(SERVERLINK_EXTRA_PEER_READY);
constexpr size_t kPayload = 1280;

using testing_support::CallLog;
using testing_support::RecordingSink;
using Call = RecordingSink::Call;
using Calls = std::vector<Call>;

std::vector<std::string> Tags(const Calls& log) {
    std::vector<std::string> tags;
    for (const Call& c : log) tags.push_back(c.tag);
    return tags;
}

using Tagged = std::vector<std::string>;

std::vector<BYTE> Pattern(size_t n, unsigned seed) {
    std::vector<BYTE> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<BYTE>((i * 13 + seed * 31 + 7) & 0xFF);
    return bytes;
}

std::unique_ptr<ShmMessage> Message(uint16_t type, uint32_t clientId, uint32_t peerId, uint32_t length) {
    auto msg = std::make_unique<ShmMessage>();
    msg->type = type;
    msg->clientId = clientId;
    msg->peerId = peerId;
    msg->length = length;
    const std::vector<BYTE> fill = Pattern(kPayload, type + clientId);
    std::memcpy(msg->payload, fill.data(), kPayload);
    return msg;
}

std::vector<BYTE> PayloadPrefix(const ShmMessage& msg, size_t n) {
    return std::vector<BYTE>(msg.payload, msg.payload + n);
}

class LinkTest : public ::testing::Test {
protected:
    // Runs fn on a thread of its own, standing in for the receive thread.
    template <class Fn>
    static void OnReceiveSide(Fn fn) {
        std::thread t(fn);
        t.join();
    }

    void Event(uint32_t id, LONG code, LONG_PTR param = 0, LONG extra = 0) {
        ShmMessage msg;
        msg.type = kMsgEvent;
        msg.peerId = id;
        msg.eventCode = code;
        msg.eventParam = static_cast<int32_t>(param);
        msg.extra = extra;
        Deliver(msg);
    }

    void Deliver(const ShmMessage& msg) {
        OnReceiveSide([&] { m_receive.Deliver(msg); });
    }

    // The calls one event produces, and the log emptied for the next.
    Calls Take() { return m_log.Take(); }

    // A sink that records into the test's log. Codes 8 and 9 are read as
    // notices only where a test asks for it: plain events carry a number.
    RecordingSink& Sink(const std::string& tag) {
        m_sinks.push_back(std::make_unique<RecordingSink>(m_log, tag));
        m_sinks.back()->readNotices = false;
        return *m_sinks.back();
    }

    CSendSide m_send;
    CReceiveSide m_receive{m_send};
    CallLog m_log;
    // Outlive every dispatch of the test; the link never calls them after it.
    std::vector<std::unique_ptr<RecordingSink>> m_sinks;
};

using SubscriberTable = LinkTest;
using EventDispatch = LinkTest;

// A callback action that runs on the first call only.
std::function<void(const Call&)> Once(std::function<void()> action) {
    auto fired = std::make_shared<bool>(false);
    return [fired, action](const Call&) {
        if (*fired) return;
        *fired = true;
        action();
    };
}

}  // namespace

// ---------------------------------------------------------------------------
// Subscriber table

TEST_F(SubscriberTable, KeyZeroFirstThenExactKeyNewestFirst) {
    RecordingSink& s = Sink("s");
    RecordingSink& t = Sink("t");
    RecordingSink& a = Sink("a");
    RecordingSink& b = Sink("b");
    RecordingSink& u = Sink("u");
    RecordingSink& v = Sink("v");
    // Added out of key order, so the order seen is the table's doing.
    ASSERT_EQ(m_receive.AddSubscriber(&s, 7), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&v, 9), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&t, 7), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&a, 0), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&u, 3), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&b, 0), S_OK);

    Event(7, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"b", "a", "t", "s"}));
    Event(3, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"b", "a", "u"}));
    Event(9, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"b", "a", "v"}));
    Event(8, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"b", "a"}));
    Event(0, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"b", "a"}));
}

TEST_F(SubscriberTable, DuplicatePairIsCalledPerOccurrence) {
    RecordingSink& s = Sink("s");
    ASSERT_EQ(m_receive.AddSubscriber(&s, 0), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&s, 0), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&s, 7), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&s, 7), S_OK);

    Event(7, 2);
    EXPECT_EQ(Take().size(), 4u);
    Event(6, 2);
    EXPECT_EQ(Take().size(), 2u);

    EXPECT_EQ(m_receive.RemoveSubscriber(&s, 0), S_OK);
    Event(6, 2);
    EXPECT_EQ(Take().size(), 1u);
    Event(7, 2);
    EXPECT_EQ(Take().size(), 3u);

    EXPECT_EQ(m_receive.RemoveSubscriber(&s, 0), S_OK);
    EXPECT_EQ(m_receive.RemoveSubscriber(&s, 0), E_FAIL);
    Event(6, 2);
    EXPECT_TRUE(Take().empty());
    Event(7, 2);
    EXPECT_EQ(Take().size(), 2u);
}

TEST_F(SubscriberTable, KeysCompareUnsigned) {
    RecordingSink& big = Sink("big");
    RecordingSink& top = Sink("top");
    RecordingSink& one = Sink("one");
    RecordingSink& five = Sink("five");
    RecordingSink& all = Sink("all");
    // Signed ordering would put the two high keys ahead of everything and
    // make them end every walk for a small id.
    ASSERT_EQ(m_receive.AddSubscriber(&big, 0x80000000u), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&top, 0xFFFFFFFFu), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&one, 1), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&five, 5), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&all, 0), S_OK);

    Event(5, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"all", "five"}));
    Event(1, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"all", "one"}));
    Event(0x80000000u, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"all", "big"}));
    Event(0xFFFFFFFFu, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"all", "top"}));
    Event(0x7FFFFFFFu, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"all"}));
    Event(0x80000001u, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"all"}));
}

TEST_F(SubscriberTable, HoldsAtMostOneHundred) {
    std::vector<RecordingSink*> sinks;
    for (int i = 0; i < 100; ++i) {
        sinks.push_back(&Sink("s" + std::to_string(i)));
        ASSERT_EQ(m_receive.AddSubscriber(sinks.back(), 0), S_OK) << i;
    }
    RecordingSink& extra = Sink("extra");
    EXPECT_EQ(m_receive.AddSubscriber(&extra, 0), E_FAIL);
    EXPECT_EQ(m_receive.AddSubscriber(&extra, 5), E_FAIL);
    EXPECT_EQ(m_receive.AddSubscriber(sinks[0], 0), E_FAIL);

    Event(5, 1);
    Tagged expected;
    for (int i = 99; i >= 0; --i) expected.push_back("s" + std::to_string(i));
    EXPECT_EQ(Tags(Take()), expected);

    // A freed place can be taken again.
    ASSERT_EQ(m_receive.RemoveSubscriber(sinks[50], 0), S_OK);
    EXPECT_EQ(m_receive.AddSubscriber(&extra, 5), S_OK);
    EXPECT_EQ(m_receive.AddSubscriber(&extra, 5), E_FAIL);
    Event(5, 1);
    expected.erase(std::find(expected.begin(), expected.end(), "s50"));
    expected.push_back("extra");
    EXPECT_EQ(Tags(Take()), expected);
}

TEST_F(SubscriberTable, QueuedAddsCountAgainstTheLimit) {
    RecordingSink& trigger = Sink("trigger");
    ASSERT_EQ(m_receive.AddSubscriber(&trigger, 0), S_OK);
    // 97 entries that never hear id 1.
    for (int i = 0; i < 97; ++i) ASSERT_EQ(m_receive.AddSubscriber(&Sink("filler"), 0xFFFFFFF0u), S_OK);

    RecordingSink& a = Sink("a");
    RecordingSink& b = Sink("b");
    RecordingSink& c = Sink("c");
    std::vector<HRESULT> results;
    trigger.onEvent = Once([&] {
        results.push_back(m_receive.AddSubscriber(&a, 1));
        results.push_back(m_receive.AddSubscriber(&b, 1));
        results.push_back(m_receive.AddSubscriber(&c, 1));
    });
    Event(1, 1);
    EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, S_OK, E_FAIL}));
    EXPECT_EQ(Tags(Take()), (Tagged{"trigger"}));

    // Both queued adds landed: the table is full and they hear the next event.
    EXPECT_EQ(m_receive.AddSubscriber(&c, 1), E_FAIL);
    Event(1, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"trigger", "b", "a"}));

    // Full during a dispatch: nothing can be queued.
    results.clear();
    trigger.onEvent = Once([&] { results.push_back(m_receive.AddSubscriber(&c, 1)); });
    Event(1, 1);
    EXPECT_EQ(results, (std::vector<HRESULT>{E_FAIL}));
    Take();
    Event(1, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"trigger", "b", "a"}));
}

TEST_F(SubscriberTable, RemovingAMissingPair) {
    RecordingSink& s = Sink("s");
    RecordingSink& t = Sink("t");
    ASSERT_EQ(m_receive.AddSubscriber(&s, 4), S_OK);
    EXPECT_EQ(m_receive.RemoveSubscriber(&s, 3), E_FAIL);
    EXPECT_EQ(m_receive.RemoveSubscriber(&t, 4), E_FAIL);
    EXPECT_EQ(m_receive.RemoveSubscriber(&s, 0), E_FAIL);

    std::vector<HRESULT> results;
    s.onEvent = Once([&] {
        results.push_back(m_receive.RemoveSubscriber(&s, 3));
        results.push_back(m_receive.RemoveSubscriber(&t, 4));
    });
    Event(4, 1);
    EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_EQ(Tags(Take()), (Tagged{"s"}));

    // The table still holds exactly (s, 4).
    Event(4, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"s"}));
    EXPECT_EQ(m_receive.RemoveSubscriber(&s, 4), S_OK);
    EXPECT_EQ(m_receive.RemoveSubscriber(&s, 4), E_FAIL);
}

TEST_F(SubscriberTable, NullSink) {
    EXPECT_EQ(m_receive.AddSubscriber(nullptr, 0), E_FAIL);
    EXPECT_EQ(m_receive.AddSubscriber(nullptr, 5), E_FAIL);
    EXPECT_EQ(m_receive.RemoveSubscriber(nullptr, 0), E_FAIL);
    EXPECT_EQ(m_receive.RemoveSubscriber(nullptr, 5), E_FAIL);

    RecordingSink& s = Sink("s");
    ASSERT_EQ(m_receive.AddSubscriber(&s, 0), S_OK);
    std::vector<HRESULT> results;
    s.onEvent = Once([&] {
        results.push_back(m_receive.AddSubscriber(nullptr, 0));
        results.push_back(m_receive.RemoveSubscriber(nullptr, 0));
        results.push_back(m_receive.RemoveSubscriber(nullptr, 5));
    });
    Event(5, 1);
    EXPECT_EQ(results, (std::vector<HRESULT>{E_FAIL, S_OK, S_OK}));
    Take();

    // No null entry took a place: 99 more fit, the 100th does not.
    for (int i = 0; i < 99; ++i) ASSERT_EQ(m_receive.AddSubscriber(&Sink("more"), 0xFFFFFFF0u), S_OK) << i;
    EXPECT_EQ(m_receive.AddSubscriber(&Sink("more"), 0xFFFFFFF0u), E_FAIL);
    Event(5, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"s"}));
}

TEST_F(SubscriberTable, RemoveAndReAddFromOwnCallbackLeavesOnce) {
    RecordingSink& s = Sink("s");
    RecordingSink& k = Sink("k");
    ASSERT_EQ(m_receive.AddSubscriber(&s, 0), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&k, 7), S_OK);
    std::vector<HRESULT> results;
    s.onEvent = Once([&] {
        results.push_back(m_receive.RemoveSubscriber(&s, 0));
        results.push_back(m_receive.AddSubscriber(&s, 0));
    });
    k.onEvent = Once([&] {
        results.push_back(m_receive.RemoveSubscriber(&k, 7));
        results.push_back(m_receive.AddSubscriber(&k, 7));
    });
    Event(7, 1);
    EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, S_OK, S_OK, S_OK}));
    EXPECT_EQ(Tags(Take()), (Tagged{"s", "k"}));

    Event(7, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"s", "k"}));
    EXPECT_EQ(m_receive.RemoveSubscriber(&s, 0), S_OK);
    EXPECT_EQ(m_receive.RemoveSubscriber(&s, 0), E_FAIL);
    EXPECT_EQ(m_receive.RemoveSubscriber(&k, 7), S_OK);
    EXPECT_EQ(m_receive.RemoveSubscriber(&k, 7), E_FAIL);
}

TEST_F(SubscriberTable, QueuedAddsReplayBeforeQueuedRemoves) {
    // Whatever order a callback asks in, all queued adds go in first and the
    // queued removals then take the first match.
    RecordingSink& trigger = Sink("trigger");
    RecordingSink& n = Sink("n");
    RecordingSink& m = Sink("m");
    RecordingSink& kept = Sink("kept");
    ASSERT_EQ(m_receive.AddSubscriber(&trigger, 0), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&kept, 5), S_OK);
    std::vector<HRESULT> results;
    trigger.onEvent = Once([&] {
        results.push_back(m_receive.AddSubscriber(&n, 5));
        results.push_back(m_receive.RemoveSubscriber(&n, 5));
        results.push_back(m_receive.RemoveSubscriber(&m, 5));  // not there yet
        results.push_back(m_receive.AddSubscriber(&m, 5));
        results.push_back(m_receive.RemoveSubscriber(&kept, 5));
        results.push_back(m_receive.AddSubscriber(&kept, 5));
    });
    Event(5, 1);
    EXPECT_EQ(results, (std::vector<HRESULT>(6, S_OK)));
    EXPECT_EQ(Tags(Take()), (Tagged{"trigger", "kept"}));

    Event(5, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"trigger", "kept"}));
    EXPECT_EQ(m_receive.RemoveSubscriber(&n, 5), E_FAIL);
    EXPECT_EQ(m_receive.RemoveSubscriber(&m, 5), E_FAIL);
}

TEST_F(SubscriberTable, SinkAddedFromCallbackHearsTheNextMessage) {
    RecordingSink& trigger = Sink("trigger");
    RecordingSink& n = Sink("n");
    RecordingSink& n0 = Sink("n0");
    ASSERT_EQ(m_receive.AddSubscriber(&trigger, 0), S_OK);
    std::vector<HRESULT> results;
    // n would sit behind the walk's position if it went in at once; n0 would
    // push trigger into a place the walk has not reached yet.
    trigger.onEvent = Once([&] {
        results.push_back(m_receive.AddSubscriber(&n, 7));
        results.push_back(m_receive.AddSubscriber(&n0, 0));
    });
    Event(7, 1);
    EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_EQ(Tags(Take()), (Tagged{"trigger"}));

    Event(7, 2);
    EXPECT_EQ(Tags(Take()), (Tagged{"n0", "trigger", "n"}));

    // The same through an incoming record.
    auto msg = Message(8, 1, 7, 4);
    Deliver(*msg);
    EXPECT_EQ(Tags(Take()), (Tagged{"n0", "trigger", "n"}));
}

TEST_F(SubscriberTable, SinkRemovedFromCallbackStaysForTheRestOfTheWalk) {
    RecordingSink& r = Sink("r");
    RecordingSink& s = Sink("s");
    ASSERT_EQ(m_receive.AddSubscriber(&r, 0), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&r, 9), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&s, 0), S_OK);  // newest key 0: called first
    s.onEvent = Once([&] {
        m_receive.RemoveSubscriber(&r, 0);
        m_receive.RemoveSubscriber(&r, 9);
    });
    Event(9, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"s", "r", "r"}));
    Event(9, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"s"}));

    // A sink that removes itself still hears its later entry of this walk.
    RecordingSink& self = Sink("self");
    ASSERT_EQ(m_receive.AddSubscriber(&self, 9), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&self, 0), S_OK);
    self.onEvent = Once([&] {
        m_receive.RemoveSubscriber(&self, 0);
        m_receive.RemoveSubscriber(&self, 9);
    });
    Event(9, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"self", "s", "self"}));
    Event(9, 1);
    EXPECT_EQ(Tags(Take()), (Tagged{"s"}));
}

TEST_F(SubscriberTable, ChangesFromOtherThreadsWaitForTheWalk) {
    // A client thread never sees the table mid-walk: its removal is applied
    // at once (a missing pair is refused, not queued), and once it has
    // returned the removed sink is not called again.
    RecordingSink& s = Sink("s");
    ASSERT_EQ(m_receive.AddSubscriber(&s, 0), S_OK);
    HANDLE inside = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE calling = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE returned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(inside && calling && returned);
    bool clientArrived = false, returnedMidWalk = true;
    s.onEvent = Once([&] {
        SetEvent(inside);
        // The walk goes on only once the client thread is making its calls;
        // they must not return before it ends.
        clientArrived = WaitForSingleObject(calling, testing_support::kPatienceMs) == WAIT_OBJECT_0;
        returnedMidWalk = WaitForSingleObject(returned, 200) == WAIT_OBJECT_0;
    });
    HRESULT missing = S_OK;
    HRESULT removed = E_FAIL;
    std::thread client([&] {
        if (WaitForSingleObject(inside, testing_support::kPatienceMs) != WAIT_OBJECT_0) return;
        SetEvent(calling);
        missing = m_receive.RemoveSubscriber(&s, 99);
        removed = m_receive.RemoveSubscriber(&s, 0);
        SetEvent(returned);
    });
    Event(1, 1);
    client.join();
    for (HANDLE h : {inside, calling, returned}) CloseHandle(h);
    ASSERT_TRUE(clientArrived);
    EXPECT_FALSE(returnedMidWalk) << "a client thread changed the table during a walk";
    EXPECT_EQ(missing, E_FAIL);
    EXPECT_EQ(removed, S_OK);
    EXPECT_EQ(Tags(Take()), (Tagged{"s"}));
    Event(1, 1);
    EXPECT_TRUE(Take().empty());
}

// ---------------------------------------------------------------------------
// Dispatch

TEST_F(EventDispatch, OrdinaryCodesReachKeyZeroAndIdSinksUnchanged) {
    RecordingSink& all = Sink("all");
    RecordingSink& mine = Sink("mine");
    RecordingSink& other = Sink("other");
    ASSERT_EQ(m_receive.AddSubscriber(&all, 0), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&mine, 300), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&other, 301), S_OK);

    const LONG codes[] = {0,       1,         2,          3,          4,           6,          7,
                          8,       9,         12,         13,         0xFFFF,      0x10000,    0x7FFFFFFF,
                          LONG(0x80000000), -1, LONG(0xFFFF0002), LONG(0xFFFEFFFF), -10, -11, LONG(0x000FFFF0)};
    for (LONG code : codes) {
        SCOPED_TRACE(::testing::Message() << "code 0x" << std::hex << code);
        const LONG_PTR param = LONG_PTR(0x11223344) ^ code;
        const LONG extra = kPeerReady | 0x123;

        Event(300, code, param, extra);
        Calls log = Take();
        ASSERT_EQ(Tags(log), (Tagged{"all", "mine"}));
        for (const Call& c : log) {
            EXPECT_FALSE(c.data);
            EXPECT_EQ(c.id, 300u);
            EXPECT_EQ(c.code, code);
            EXPECT_EQ(c.param, param);
            EXPECT_EQ(c.extra, extra);
        }

        // A type-7 record: the id is the peer's, not the client's.
        auto msg = Message(7, 301, 300, 99);
        msg->eventCode = code;
        msg->eventParam = static_cast<int32_t>(param);
        msg->extra = extra;
        Deliver(*msg);
        log = Take();
        ASSERT_EQ(Tags(log), (Tagged{"all", "mine"}));
        for (const Call& c : log) {
            EXPECT_FALSE(c.data);
            EXPECT_EQ(c.id, 300u);
            EXPECT_EQ(c.code, code);
            EXPECT_EQ(c.param, param);
            EXPECT_EQ(c.extra, extra);
        }
    }
}

TEST_F(EventDispatch, HiddenCodesReachNoSink) {
    RecordingSink& all = Sink("all");
    RecordingSink& mine = Sink("mine");
    ASSERT_EQ(m_receive.AddSubscriber(&all, 0), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&mine, 40), S_OK);
    for (LONG code : {LONG(10), LONG(11), kPause, kResume}) {
        SCOPED_TRACE(::testing::Message() << "code 0x" << std::hex << code);
        Event(40, code, 1, kPeerReady);
        EXPECT_TRUE(Take().empty());
        auto msg = Message(7, 41, 40, 0);
        msg->eventCode = code;
        msg->eventParam = 1;
        Deliver(*msg);
        EXPECT_TRUE(Take().empty());
    }
    // The same sinks hear an ordinary code.
    Event(40, 12);
    EXPECT_EQ(Tags(Take()), (Tagged{"all", "mine"}));
}

TEST_F(EventDispatch, FlowControlCodesStillReachSinks) {
    // Pause and resume are swallowed; forgetting (3, 4) and code 5 are told,
    // whatever state the peer is in.
    RecordingSink& all = Sink("all");
    ASSERT_EQ(m_receive.AddSubscriber(&all, 0), S_OK);
    const uint32_t peer = 77;
    Event(peer, kPause);
    Event(peer, 5, LONG_PTR(int32_t(scramble(1234))), kPeerReady);
    Event(peer, 3, 5, 6);
    Event(peer, kPause);
    Event(peer, kResume);
    Event(peer, 4, 7, 8);
    Event(peer, 5, LONG_PTR(int32_t(scramble(99))), 0);
    Event(peer + 1, kResume);
    Event(peer + 1, 5, LONG_PTR(int32_t(scramble(100))), kPeerReady);
    const Calls log = Take();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].code, 5);
    EXPECT_EQ(uint32_t(log[0].param), 1234u);
    EXPECT_EQ(log[0].extra, kPeerReady);
    EXPECT_EQ(log[1].code, 3);
    EXPECT_EQ(log[1].param, 5);
    EXPECT_EQ(log[1].extra, 6);
    EXPECT_EQ(log[2].code, 4);
    EXPECT_EQ(log[2].param, 7);
    EXPECT_EQ(log[2].extra, 8);
    EXPECT_EQ(log[3].code, 5);
    EXPECT_EQ(uint32_t(log[3].param), 99u);
    EXPECT_EQ(log[4].id, peer + 1);
    EXPECT_EQ(uint32_t(log[4].param), 100u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(log[i].id, peer);
}

TEST_F(EventDispatch, Code5ParamArrivesDescrambled) {
    RecordingSink& all = Sink("all");
    ASSERT_EQ(m_receive.AddSubscriber(&all, 0), S_OK);

    Event(5, 5, 1, 0);
    Event(5, 5, 0, 0);
    Event(5, 6, 1, 0);  // only code 5 is descrambled
    Calls log = Take();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(uint32_t(log[0].param), 0xC7618194u);
    EXPECT_EQ(log[1].param, 0);
    EXPECT_EQ(log[2].param, 1);

    for (uint32_t x : {1234u, 0x7FFFFFFFu, 0x80000000u, 0x80000001u, 0xFFFFFFFFu, 0xC7618194u}) {
        SCOPED_TRACE(::testing::Message() << std::hex << x);
        const int32_t wire = static_cast<int32_t>(scramble(x));
        Event(9, 5, wire, kPeerReady | 1);
        auto msg = Message(7, 1, 9, 0);
        msg->eventCode = 5;
        msg->eventParam = wire;
        msg->extra = kPeerReady | 1;
        Deliver(*msg);
        log = Take();
        ASSERT_EQ(log.size(), 2u);
        for (const Call& c : log) {
            EXPECT_EQ(uint32_t(c.param), x);
            EXPECT_EQ(c.extra, kPeerReady | 1);
            EXPECT_EQ(c.id, 9u);
        }
    }
}

TEST_F(EventDispatch, NoticeRecordsBecomeCodes8And9) {
    RecordingSink& all = Sink("all");
    RecordingSink& client = Sink("client");
    RecordingSink& peer = Sink("peer");
    for (RecordingSink* s : {&all, &client, &peer}) s->readNotices = true;
    ASSERT_EQ(m_receive.AddSubscriber(&all, 0), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&client, 42), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&peer, 43), S_OK);

    const struct {
        uint16_t type;
        LONG code;
    } rows[] = {{9, 8}, {10, 9}};
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << "type " << row.type);
        // The id is the record's clientId; its event fields mean nothing here.
        auto msg = Message(row.type, 42, 43, 20);
        msg->eventCode = 3;
        msg->eventParam = 0x5555;
        msg->extra = 0x6666;
        Deliver(*msg);
        const Calls log = Take();
        ASSERT_EQ(Tags(log), (Tagged{"all", "client"}));
        for (const Call& c : log) {
            EXPECT_FALSE(c.data);
            EXPECT_EQ(c.id, 42u);
            EXPECT_EQ(c.code, row.code);
            EXPECT_EQ(c.param, reinterpret_cast<LONG_PTR>(msg->payload));
            EXPECT_EQ(c.extra, 20);
            EXPECT_EQ(c.bytes, PayloadPrefix(*msg, 20));
        }
    }
}

TEST_F(EventDispatch, PeerDataRecordReachesOnData) {
    RecordingSink& all = Sink("all");
    RecordingSink& client = Sink("client");
    RecordingSink& peer = Sink("peer");
    ASSERT_EQ(m_receive.AddSubscriber(&all, 0), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&client, 42), S_OK);
    ASSERT_EQ(m_receive.AddSubscriber(&peer, 55), S_OK);

    for (uint32_t length : {0u, 1u, 300u, 1280u}) {
        SCOPED_TRACE(length);
        auto msg = Message(8, 42, 55, length);
        msg->extra = int32_t(0x80001234);
        msg->eventCode = 5;  // not an event: nothing is descrambled
        msg->eventParam = 1;
        Deliver(*msg);
        const Calls log = Take();
        ASSERT_EQ(Tags(log), (Tagged{"all", "peer"}));
        for (const Call& c : log) {
            EXPECT_TRUE(c.data);
            EXPECT_EQ(c.id, 55u);
            EXPECT_EQ(c.param, reinterpret_cast<LONG_PTR>(msg->payload));
            EXPECT_EQ(c.length, length);
            EXPECT_EQ(c.extra, int32_t(0x80001234));
            EXPECT_EQ(c.bytes, PayloadPrefix(*msg, length));
        }
    }
}

TEST_F(EventDispatch, OtherRecordTypesAreIgnored) {
    RecordingSink& all = Sink("all");
    all.readNotices = true;
    ASSERT_EQ(m_receive.AddSubscriber(&all, 0), S_OK);
    for (uint16_t type : {0, 1, 2, 3, 4, 5, 6, 11, 12, 0x107, 0x8000, 0xFFFF}) {
        SCOPED_TRACE(type);
        auto msg = Message(type, 42, 55, 20);
        msg->eventCode = 1;
        msg->eventParam = 2;
        msg->extra = 3;
        Deliver(*msg);
        EXPECT_TRUE(Take().empty());
    }
    auto msg = Message(7, 42, 55, 20);
    msg->eventCode = 1;
    Deliver(*msg);
    EXPECT_EQ(Tags(Take()), (Tagged{"all"}));
}

TEST_F(EventDispatch, OverlongLengthIsCutTo1280) {
    RecordingSink& all = Sink("all");
    all.readNotices = true;
    ASSERT_EQ(m_receive.AddSubscriber(&all, 0), S_OK);
    for (uint16_t type : {8, 9, 10}) {
        for (uint32_t length : {1281u, 1308u, 0x10000u, 0x80000000u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(::testing::Message() << "type " << type << " length " << length);
            auto msg = Message(type, 42, 55, length);
            Deliver(*msg);
            const Calls log = Take();
            ASSERT_EQ(log.size(), 1u);
            const Call& c = log[0];
            EXPECT_EQ(c.param, reinterpret_cast<LONG_PTR>(msg->payload));
            if (type == 8) {
                EXPECT_TRUE(c.data);
                EXPECT_EQ(c.length, 1280u);
            } else {
                EXPECT_FALSE(c.data);
                EXPECT_EQ(c.extra, 1280);
            }
            EXPECT_EQ(c.bytes, PayloadPrefix(*msg, kPayload));
        }
    }
}

