// The subscriber table's rules: order, duplicates, unsigned keys, the limit of
// 100 with queued adds, and changes made from inside a walk.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "events/subscriber_table.h"
#include "native_sink.h"

using namespace serverlink;

namespace {

// A sink with a name; the walk's callable logs the names in call order.
class NamedSink final : public IEventSink {
public:
    explicit NamedSink(char name) : name(name) {}
    int32_t OnEvent(uint32_t, int32_t, intptr_t, int32_t) override { return 0; }
    int32_t OnData(uint32_t, const uint8_t*, uint32_t, int32_t) override { return 0; }
    const char name;
};

char NameOf(IEventSink* sink) { return static_cast<NamedSink*>(sink)->name; }

// The names of the sinks a walk for id calls, with an action run on every call.
std::string Walk(CSubscriberTable& table, uint32_t id, const std::function<void(IEventSink*)>& onCall = {}) {
    std::string called;
    table.Walk(id, [&](IEventSink* sink) {
        called += NameOf(sink);
        if (onCall) onCall(sink);
    });
    return called;
}

// The table as "name:key" entries.
std::string Entries(const CSubscriberTable& table) {
    std::string out;
    for (uint32_t i = 0; i < table.Count(); ++i) {
        if (!out.empty()) out += ' ';
        out += NameOf(table.At(i).sink);
        out += ':' + std::to_string(table.At(i).key);
    }
    return out;
}

class SubscriberTable : public testing::Test {
protected:
    CSubscriberTable table;
    NamedSink a{'a'}, b{'b'}, s{'s'}, t{'t'}, u{'u'}, x{'x'};
};

}  // namespace

TEST_F(SubscriberTable, SortedByKeyNewestFirstAmongEquals) {
    ASSERT_TRUE(table.Add(&s, 7));
    ASSERT_TRUE(table.Add(&a, 0));
    ASSERT_TRUE(table.Add(&t, 7));
    ASSERT_TRUE(table.Add(&b, 0));
    ASSERT_TRUE(table.Add(&u, 9));
    EXPECT_EQ(Entries(table), "b:0 a:0 t:7 s:7 u:9");
    EXPECT_EQ(Walk(table, 7), "bats");
    EXPECT_EQ(Walk(table, 3), "ba") << "keys between 0 and the id are passed over";
    EXPECT_EQ(Walk(table, 9), "bau");
    EXPECT_EQ(Walk(table, 0), "ba");
    EXPECT_FALSE(table.Dispatching());
}

TEST_F(SubscriberTable, DuplicatesAreSeparateAndRemovedOneAtATime) {
    ASSERT_TRUE(table.Add(&s, 0));
    ASSERT_TRUE(table.Add(&s, 0));
    EXPECT_EQ(Walk(table, 5), "ss");
    ASSERT_TRUE(table.Remove(&s, 0));
    EXPECT_EQ(Walk(table, 5), "s");
    ASSERT_TRUE(table.Remove(&s, 0));
    EXPECT_FALSE(table.Remove(&s, 0));
    EXPECT_EQ(table.Count(), 0u);

    // The first exact match goes: (s,5) (t,5) (s,5) -> (t,5) (s,5).
    ASSERT_TRUE(table.Add(&s, 5));
    ASSERT_TRUE(table.Add(&t, 5));
    ASSERT_TRUE(table.Add(&s, 5));
    ASSERT_TRUE(table.Remove(&s, 5));
    EXPECT_EQ(Entries(table), "t:5 s:5");

    // Exact pair only: same sink with another key, or another sink, is no match.
    EXPECT_FALSE(table.Remove(&s, 3));
    EXPECT_FALSE(table.Remove(&a, 5));
    EXPECT_FALSE(table.Remove(nullptr, 5));
    EXPECT_EQ(Entries(table), "t:5 s:5");
}

TEST_F(SubscriberTable, KeysAreUnsigned) {
    ASSERT_TRUE(table.Add(&t, 0x80000000u));
    ASSERT_TRUE(table.Add(&u, 0xFFFFFFFFu));
    ASSERT_TRUE(table.Add(&s, 5));
    ASSERT_TRUE(table.Add(&a, 0));
    EXPECT_EQ(Entries(table), "a:0 s:5 t:2147483648 u:4294967295");
    EXPECT_EQ(Walk(table, 5), "as");
    EXPECT_EQ(Walk(table, 0x80000000u), "at");
    EXPECT_EQ(Walk(table, 0xFFFFFFFFu), "au");
    EXPECT_EQ(Walk(table, 1), "a");
}

TEST_F(SubscriberTable, HundredEntriesQueuedAddsIncluded) {
    EXPECT_FALSE(table.Add(nullptr, 0));
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(table.Add(&s, uint32_t(i))) << i;
    EXPECT_FALSE(table.Add(&t, 0));
    EXPECT_EQ(table.Count(), 100u);

    // 98 entries: during a walk two adds queue, the third is refused.
    ASSERT_TRUE(table.Remove(&s, 0));
    ASSERT_TRUE(table.Remove(&s, 1));
    std::vector<bool> results;
    Walk(table, 2, [&](IEventSink*) {
        results.push_back(table.Add(&t, 1));
        results.push_back(table.Add(nullptr, 1));  // refused, and not counted
        results.push_back(table.Add(&u, 1));
        results.push_back(table.Add(&x, 1));
        EXPECT_EQ(table.Count(), 98u) << "the table changed during the walk";
    });
    EXPECT_EQ(results, (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(table.Count(), 100u);
    EXPECT_EQ(NameOf(table.At(0).sink), 'u');
    EXPECT_EQ(NameOf(table.At(1).sink), 't');
}

TEST_F(SubscriberTable, ChangesFromAWalkAreReplayedAddsThenRemoves) {
    ASSERT_TRUE(table.Add(&a, 0));
    ASSERT_TRUE(table.Add(&s, 3));
    std::vector<bool> results;
    const std::string called = Walk(table, 3, [&](IEventSink* sink) {
        if (sink != &a) return;
        // Requested remove first, add second; replayed the other way round, so
        // the pair ends up absent.
        results.push_back(table.Remove(&x, 3));
        results.push_back(table.Add(&x, 3));
        results.push_back(table.Remove(&s, 3));  // s is still called in this walk
        results.push_back(table.Remove(&u, 8));  // not in the table: accepted all the same
        results.push_back(table.Add(&b, 3));     // hears the next walk, not this one
    });
    EXPECT_EQ(called, "as");
    EXPECT_EQ(results, (std::vector<bool>{true, true, true, true, true}));
    EXPECT_EQ(Entries(table), "a:0 b:3");
    EXPECT_EQ(Walk(table, 3), "ab");

    // Changes made after a walk take effect at once again.
    ASSERT_TRUE(table.Add(&u, 1));
    EXPECT_EQ(Entries(table), "a:0 u:1 b:3");
}

TEST_F(SubscriberTable, SinkRemovingAndReAddingItselfStaysOnce) {
    ASSERT_TRUE(table.Add(&s, 0));
    ASSERT_TRUE(table.Add(&a, 0));  // a:0 s:0
    // s also has a later entry; removing one occurrence from its callback does
    // not stop the rest of the walk.
    ASSERT_TRUE(table.Add(&s, 4));
    bool once = false;
    EXPECT_EQ(Walk(table, 4,
                   [&](IEventSink* sink) {
                       if (sink != &s || once) return;
                       once = true;
                       EXPECT_TRUE(table.Remove(&s, 0));
                       EXPECT_TRUE(table.Add(&s, 0));
                   }),
              "ass");
    // The add inserted a second (s,0) ahead of a; the remove then took that one.
    EXPECT_EQ(Entries(table), "a:0 s:0 s:4");
}

TEST_F(SubscriberTable, ClearFromAWalkEndsIt) {
    ASSERT_TRUE(table.Add(&b, 0));
    ASSERT_TRUE(table.Add(&a, 0));
    ASSERT_TRUE(table.Add(&s, 6));
    const std::string called = Walk(table, 6, [&](IEventSink* sink) {
        if (sink != &a) return;
        table.Add(&x, 9);  // queued before the clear: replayed into the empty table
        table.Clear();
        table.Add(&u, 2);  // still queued: the walk is not over
        EXPECT_EQ(table.Count(), 0u);
        EXPECT_TRUE(table.Dispatching());
    });
    EXPECT_EQ(called, "a");
    EXPECT_FALSE(table.Dispatching());
    EXPECT_EQ(Entries(table), "u:2 x:9");
}

TEST_F(SubscriberTable, ThrowingCallbackStillEndsTheWalk) {
    ASSERT_TRUE(table.Add(&a, 0));
    ASSERT_TRUE(table.Add(&b, 0));  // b:0 a:0
    std::string called;
    EXPECT_THROW(table.Walk(0,
                            [&](IEventSink* sink) {
                                called += NameOf(sink);
                                table.Add(&x, 1);
                                table.Remove(&a, 0);
                                throw std::runtime_error("sink failed");
                            }),
                 std::runtime_error);
    EXPECT_EQ(called, "b");
    EXPECT_FALSE(table.Dispatching());
    EXPECT_EQ(Entries(table), "b:0 x:1");
    // Idle again: a change applies at once.
    ASSERT_TRUE(table.Remove(&x, 1));
    EXPECT_EQ(Entries(table), "b:0");
}
