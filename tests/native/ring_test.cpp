// The ring's logic over plain bytes: exact full and empty boundaries, index
// wrap, and indexes and state bytes that the other process set to anything.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "ring_block.h"
#include "shm/ring.h"

using namespace serverlink;
using namespace testing_support;

namespace {

// Every byte of the record derives from seq, the padding at offset 2 and the
// payload past `length` included, so a partial copy shows.
ShmMessage Record(uint32_t seq) {
    ShmMessage m;
    auto* bytes = reinterpret_cast<uint8_t*>(&m);
    for (size_t i = 0; i < sizeof(m); ++i) bytes[i] = static_cast<uint8_t>(seq * 31u + i * 7u + 1u);
    m.type = kMsgEvent;
    m.peerId = seq;
    m.length = seq % (kMaxPayload + 1);
    return m;
}

bool SameBytes(const ShmMessage& a, const ShmMessage& b) { return std::memcmp(&a, &b, sizeof(ShmMessage)) == 0; }

ShmMessage Filled(uint8_t v) {
    ShmMessage m;
    std::memset(static_cast<void*>(&m), v, sizeof(m));
    return m;
}

// Offsets at which two snapshots differ.
std::vector<size_t> Changed(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    std::vector<size_t> out;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) out.push_back(i);
    return out;
}

}  // namespace

TEST(RingLogic, FillsToExactlyNAndDrainsInOrder) {
    for (int32_t n : {1, 2, 5, 128}) {
        SCOPED_TRACE(n);
        RingBlock block(n, 0xEE);
        CRing ring(block.Bytes(), n);
        ring.Initialize();
        EXPECT_EQ(ring.Slots(), n);
        EXPECT_EQ(ring.Block(), block.Bytes());

        // Empty: nothing to read, and the caller's record stays as it was.
        ShmMessage out = Filled(0x5A);
        EXPECT_FALSE(ring.Read(out));
        EXPECT_TRUE(SameBytes(out, Filled(0x5A)));

        for (int32_t i = 0; i < n; ++i) ASSERT_TRUE(ring.Write(Record(i))) << i;
        const std::vector<uint8_t> full = block.Snapshot();
        EXPECT_FALSE(ring.Write(Record(999)));
        EXPECT_EQ(block.Snapshot(), full) << "a refused write changed the block";

        for (int32_t i = 0; i < n; ++i) {
            ASSERT_TRUE(ring.Read(out)) << i;
            EXPECT_TRUE(SameBytes(out, Record(i))) << i;
        }
        const std::vector<uint8_t> empty = block.Snapshot();
        out = Filled(0x5A);
        EXPECT_FALSE(ring.Read(out));
        EXPECT_TRUE(SameBytes(out, Filled(0x5A)));
        EXPECT_EQ(block.Snapshot(), empty) << "a refused read changed the block";
    }
}

// In-place writes: the slot's previous record is what the caller fills in, a
// full ring never calls the caller, and what is published is exactly what the
// caller left in the slot.
TEST(RingLogic, WriteInPlaceFillsTheFreeSlotOnly) {
    constexpr int32_t n = 2;
    RingBlock block(n);
    CRing ring(block.Bytes(), n);
    ring.Initialize();
    ASSERT_TRUE(ring.Write(Record(1)));
    ShmMessage out;
    ASSERT_TRUE(ring.Read(out));
    ASSERT_TRUE(ring.Write(Record(2)));  // slot 1

    // Slot 0 still holds record 1: the caller sees it and changes two fields.
    ShmMessage seen;
    ASSERT_TRUE(ring.WriteInPlace([&](ShmMessage& slot) {
        seen = slot;
        slot.peerId = 77;
        slot.length = 3;
    }));
    EXPECT_TRUE(SameBytes(seen, Record(1)));

    int calls = 0;
    const std::vector<uint8_t> full = block.Snapshot();
    EXPECT_FALSE(ring.WriteInPlace([&](ShmMessage&) { ++calls; }));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(block.Snapshot(), full) << "a refused write changed the block";

    ASSERT_TRUE(ring.Read(out));
    EXPECT_TRUE(SameBytes(out, Record(2)));
    ASSERT_TRUE(ring.Read(out));
    ShmMessage want = Record(1);
    want.peerId = 77;
    want.length = 3;
    EXPECT_TRUE(SameBytes(out, want));
    EXPECT_FALSE(ring.Read(out));
}

TEST(RingLogic, IndexesWrapAfterTheLastSlot) {
    constexpr int32_t n = 3;
    RingBlock block(n);
    CRing ring(block.Bytes(), n);
    ring.Initialize();
    // The writer runs up to two records ahead of the reader for many laps, so
    // both indexes wrap often and in every relative position.
    uint32_t written = 0, read = 0;
    ShmMessage out;
    for (int round = 0; round < 20; ++round) {
        const uint32_t burst = 1 + round % 2;
        for (uint32_t k = 0; k < burst; ++k) {
            ASSERT_TRUE(ring.Write(Record(written)));
            ++written;
            ASSERT_EQ(block.WriteIndex(), int32_t(written % n));
        }
        for (uint32_t k = 0; k < burst; ++k) {
            ASSERT_TRUE(ring.Read(out));
            ASSERT_TRUE(SameBytes(out, Record(read)));
            ++read;
            ASSERT_EQ(block.ReadIndex(), int32_t(read % n));
        }
    }
    // One slot: both indexes stay at 0.
    RingBlock one(1);
    CRing single(one.Bytes(), 1);
    single.Initialize();
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(single.Write(Record(i)));
        EXPECT_EQ(one.WriteIndex(), 0);
        EXPECT_FALSE(single.Write(Record(i + 100)));
        ASSERT_TRUE(single.Read(out));
        EXPECT_TRUE(SameBytes(out, Record(i)));
        EXPECT_EQ(one.ReadIndex(), 0);
    }
}

TEST(RingLogic, InitializeDiscardsWhateverTheBlockHeld) {
    constexpr int32_t n = 4;
    RingBlock block(n, 0xCC);
    CRing ring(block.Bytes(), n);
    ring.Initialize();
    EXPECT_EQ(block.WriteIndex(), 0);
    EXPECT_EQ(block.ReadIndex(), 0);
    for (int32_t i = 0; i < n; ++i) {
        for (size_t b = 0; b < kBlockMessageSize; ++b) ASSERT_EQ(block.Slot(i)[b], 0) << "slot " << i << " byte " << b;
        EXPECT_EQ(block.State(i), 1);
        for (size_t b = kBlockStateAt + 1; b < kBlockSlotSize; ++b)
            EXPECT_EQ(block.Slot(i)[b], 0xCC) << "slot padding written, slot " << i;
    }
    // Over unread messages: gone.
    ASSERT_TRUE(ring.Write(Record(1)));
    ASSERT_TRUE(ring.Write(Record(2)));
    ring.Initialize();
    ShmMessage out;
    EXPECT_FALSE(ring.Read(out));
    EXPECT_EQ(block.WriteIndex(), 0);
}

TEST(RingLogic, EachSideChangesOnlyItsOwnBytes) {
    constexpr int32_t n = 4;
    RingBlock block(n, 0xA7);
    CRing ring(block.Bytes(), n);
    ring.Initialize();
    ASSERT_TRUE(ring.Write(Record(0)));
    ShmMessage out;
    ASSERT_TRUE(ring.Read(out));

    // Slot 1: the writer changes its message bytes, its state byte and the
    // write index, nothing else; the slot's padding keeps its bytes.
    std::vector<uint8_t> before = block.Snapshot();
    const ShmMessage seventh = Record(7);
    ASSERT_TRUE(ring.Write(seventh));
    std::vector<uint8_t> after = block.Snapshot();
    for (size_t at : Changed(before, after)) {
        const bool message = at >= BlockSlotAt(1) && at < BlockSlotAt(1) + kBlockMessageSize;
        const bool state = at == BlockSlotAt(1) + kBlockStateAt;
        const bool index = at < 4;
        EXPECT_TRUE(message || state || index) << "writer changed byte " << at;
    }
    EXPECT_EQ(std::memcmp(block.Slot(1), &seventh, kBlockMessageSize), 0);
    EXPECT_EQ(block.State(1), 0);
    EXPECT_EQ(block.WriteIndex(), 2);

    // The reader changes the state byte and the read index only; the message
    // bytes stay in the slot.
    before = after;
    ASSERT_TRUE(ring.Read(out));
    after = block.Snapshot();
    for (size_t at : Changed(before, after))
        EXPECT_TRUE(at == BlockSlotAt(1) + kBlockStateAt || (at >= 4 && at < 8)) << "reader changed byte " << at;
    EXPECT_EQ(block.State(1), 1);
    EXPECT_EQ(block.ReadIndex(), 2);
    for (int32_t i = 0; i < n; ++i)
        for (size_t b = kBlockStateAt + 1; b < kBlockSlotSize; ++b) EXPECT_EQ(block.Slot(i)[b], 0xA7);
}

TEST(RingLogic, IndexesOutOfRangeRefuseEveryCall) {
    constexpr int32_t n = 4;
    for (int32_t bad : {-1, n, n + 1, INT_MIN, INT_MAX, -n}) {
        SCOPED_TRACE(bad);
        RingBlock block(n);
        CRing ring(block.Bytes(), n);
        ring.Initialize();
        ASSERT_TRUE(ring.Write(Record(1)));  // something to read at index 0

        block.SetWriteIndex(bad);
        std::vector<uint8_t> before = block.Snapshot();
        EXPECT_FALSE(ring.Write(Record(2)));
        EXPECT_FALSE(ring.Write(Record(3)));
        EXPECT_EQ(block.Snapshot(), before);

        // The reader's side is independent of the writer's index.
        ShmMessage out;
        ASSERT_TRUE(ring.Read(out));
        EXPECT_TRUE(SameBytes(out, Record(1)));

        block.SetWriteIndex(1);
        ASSERT_TRUE(ring.Write(Record(5)));
        block.SetReadIndex(bad);
        before = block.Snapshot();
        out = Filled(0x33);
        EXPECT_FALSE(ring.Read(out));
        EXPECT_TRUE(SameBytes(out, Filled(0x33)));
        EXPECT_EQ(block.Snapshot(), before);
    }
}

TEST(RingLogic, StateByteIsZeroOrNonZero) {
    constexpr int32_t n = 2;
    RingBlock block(n);
    CRing ring(block.Bytes(), n);
    ring.Initialize();

    // Any non-zero state is free: a write takes the slot and stores 0.
    block.SetState(0, 0x80);
    ASSERT_TRUE(ring.Write(Record(1)));
    EXPECT_EQ(block.State(0), 0);
    // And a reader finds nothing in it.
    block.SetState(1, 0xFF);
    block.SetReadIndex(1);
    ShmMessage out = Filled(0x11);
    EXPECT_FALSE(ring.Read(out));
    EXPECT_TRUE(SameBytes(out, Filled(0x11)));

    // A slot the other side marked full without writing it is read as it is,
    // and given back free (state written as 1, not as whatever it was).
    RingBlock raw(n, 0x42);
    CRing hostile(raw.Bytes(), n);
    raw.SetReadIndex(1);
    raw.SetState(1, 0);
    ASSERT_TRUE(hostile.Read(out));
    EXPECT_TRUE(SameBytes(out, Filled(0x42)));
    EXPECT_EQ(raw.State(1), 1);
    EXPECT_EQ(raw.ReadIndex(), 0);
    EXPECT_FALSE(hostile.Read(out)) << "slot 0's state 0x42 is not a full slot";
}
