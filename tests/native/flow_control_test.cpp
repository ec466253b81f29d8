// Per-peer flow control: every transition, what code 5 may and may not do,
// and the SendData gate.
#include <gtest/gtest.h>

#include <climits>

#include "events/flow_control.h"
#include "serverlink_codes.h"

using namespace serverlink;

namespace {

constexpr int32_t kPause = SERVERLINK_EVENT_PAUSE;
constexpr int32_t kResume = SERVERLINK_EVENT_RESUME;
constexpr int32_t kReadyBit = int32_t(SERVERLINK_EXTRA_PEER_READY);

// The entry of a peer as "absent" or "ready@tick" / "paused@tick".
std::string State(const CFlowControl& fc, uint32_t peer) {
    const PeerState* p = fc.Find(peer);
    if (p == nullptr) return "absent";
    return std::string(p->ready ? "ready@" : "paused@") + std::to_string(p->tick);
}

}  // namespace

TEST(FlowControl, PauseAndResume) {
    CFlowControl fc;
    EXPECT_TRUE(fc.MaySend(7)) << "a peer never heard of may be sent to";

    // Absent -> paused: created, not delivered.
    EXPECT_FALSE(fc.OnEvent(7, kPause, 0, 1000));
    EXPECT_EQ(State(fc, 7), "paused@1000");
    EXPECT_FALSE(fc.MaySend(7));
    EXPECT_TRUE(fc.MaySend(8));

    // Paused -> ready: the tick stays that of the pause.
    EXPECT_FALSE(fc.OnEvent(7, kResume, 0, 2000));
    EXPECT_EQ(State(fc, 7), "ready@1000");
    EXPECT_TRUE(fc.MaySend(7));

    // Ready -> paused: tick renewed. Pausing again renews it again.
    EXPECT_FALSE(fc.OnEvent(7, kPause, 0, 3000));
    EXPECT_EQ(State(fc, 7), "paused@3000");
    EXPECT_FALSE(fc.OnEvent(7, kPause, 0, 3500));
    EXPECT_EQ(State(fc, 7), "paused@3500");

    // Absent -> ready through resume: created as if heard of 101 ms ago.
    EXPECT_FALSE(fc.OnEvent(9, kResume, 0, 5000));
    EXPECT_EQ(State(fc, 9), "ready@4899");
    // The tick count wraps.
    EXPECT_FALSE(fc.OnEvent(10, kResume, 0, 50));
    EXPECT_EQ(fc.Find(10)->tick, uint32_t(50 - 101));
    EXPECT_FALSE(fc.OnEvent(11, kPause, 0, 0xFFFFFFFFu));
    EXPECT_EQ(fc.Find(11)->tick, 0xFFFFFFFFu);
}

TEST(FlowControl, PeerGoneAndCloseForget) {
    CFlowControl fc;
    for (int32_t code : {3, 4}) {
        ASSERT_FALSE(fc.OnEvent(7, kPause, 0, 10));
        ASSERT_FALSE(fc.MaySend(7));
        EXPECT_TRUE(fc.OnEvent(7, code, 0, 20)) << "code " << code << " is delivered";
        EXPECT_EQ(State(fc, 7), "absent");
        EXPECT_TRUE(fc.MaySend(7));
        EXPECT_TRUE(fc.OnEvent(7, code, 0, 30)) << "forgetting an absent peer";
        EXPECT_EQ(State(fc, 7), "absent");
    }
    ASSERT_FALSE(fc.OnEvent(7, kPause, 0, 10));
    ASSERT_FALSE(fc.OnEvent(8, kPause, 0, 10));
    fc.Close(7);
    EXPECT_EQ(State(fc, 7), "absent");
    EXPECT_EQ(State(fc, 8), "paused@10") << "only the peer closed";
    fc.Close(7);
    EXPECT_TRUE(fc.MaySend(7));
}

TEST(FlowControl, CodeFiveOnlyEverCreates) {
    CFlowControl fc;
    // With the bit, an absent peer becomes known and ready.
    EXPECT_TRUE(fc.OnEvent(1, 5, kReadyBit, 1000));
    EXPECT_EQ(State(fc, 1), "ready@899");
    EXPECT_TRUE(fc.OnEvent(2, 5, -1, 1000)) << "all bits set, the ready bit among them";
    EXPECT_EQ(State(fc, 2), "ready@899");

    // Without it, nothing.
    EXPECT_TRUE(fc.OnEvent(3, 5, ~kReadyBit, 1000));
    EXPECT_TRUE(fc.OnEvent(3, 5, 0, 1000));
    EXPECT_EQ(State(fc, 3), "absent");

    // An existing entry is never changed: a paused peer stays paused, a ready
    // one keeps its tick.
    ASSERT_FALSE(fc.OnEvent(4, kPause, 0, 2000));
    EXPECT_TRUE(fc.OnEvent(4, 5, kReadyBit, 3000));
    EXPECT_EQ(State(fc, 4), "paused@2000");
    EXPECT_FALSE(fc.MaySend(4));
    EXPECT_TRUE(fc.OnEvent(1, 5, kReadyBit, 4000));
    EXPECT_EQ(State(fc, 1), "ready@899");
}

TEST(FlowControl, OtherCodesChangeNothing) {
    CFlowControl fc;
    ASSERT_FALSE(fc.OnEvent(7, kPause, 0, 10));
    ASSERT_FALSE(fc.OnEvent(8, kResume, 0, 10));
    const int32_t codes[] = {0, 1, 2, 6, 8, 9, 10, 11, -1, INT_MIN, INT_MAX, int32_t(0xFFFF0002u), int32_t(0xFFFEFFFFu)};
    for (int32_t code : codes) {
        EXPECT_TRUE(fc.OnEvent(7, code, kReadyBit, 20)) << code;
        EXPECT_TRUE(fc.OnEvent(8, code, kReadyBit, 20)) << code;
        EXPECT_TRUE(fc.OnEvent(9, code, kReadyBit, 20)) << code;
    }
    EXPECT_EQ(State(fc, 7), "paused@10");
    EXPECT_EQ(State(fc, 8), "ready@4294967205");
    EXPECT_EQ(State(fc, 9), "absent");
}

// The link takes its peer lock only for events that Touches names: any event
// that changes the table or is held back from sinks must be among them.
TEST(FlowControl, TouchesNamesEveryEventThatChangesOrHidesSomething) {
    const int32_t codes[] = {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, -1, INT_MIN, INT_MAX, kPause, kResume,
                             int32_t(0xFFFF0002u), int32_t(0xFFFEFFFFu)};
    const int32_t extras[] = {0, kReadyBit, ~kReadyBit, -1};
    for (int32_t code : codes) {
        for (int32_t extra : extras) {
            CFlowControl fc;
            ASSERT_FALSE(fc.OnEvent(7, kPause, 0, 10));  // one entry to forget or keep
            const bool deliver = fc.OnEvent(7, code, extra, 20) && fc.OnEvent(8, code, extra, 20);
            const bool changed = State(fc, 7) != "paused@10" || State(fc, 8) != "absent";
            if (!deliver || changed) EXPECT_TRUE(CFlowControl::Touches(code, extra)) << code << " " << extra;
        }
    }
    EXPECT_FALSE(CFlowControl::Touches(5, 0));
    EXPECT_FALSE(CFlowControl::Touches(7, kReadyBit));
}

TEST(FlowControl, PeersAreUnsignedAndSeparate) {
    CFlowControl fc;
    ASSERT_FALSE(fc.OnEvent(0xFFFFFFFFu, kPause, 0, 1));
    EXPECT_FALSE(fc.MaySend(0xFFFFFFFFu));
    EXPECT_TRUE(fc.MaySend(0x7FFFFFFFu));
    EXPECT_TRUE(fc.MaySend(0));
    ASSERT_FALSE(fc.OnEvent(0, kPause, 0, 1));
    EXPECT_TRUE(fc.OnEvent(0xFFFFFFFFu, 3, 0, 2));
    EXPECT_TRUE(fc.MaySend(0xFFFFFFFFu));
    EXPECT_FALSE(fc.MaySend(0));
}
