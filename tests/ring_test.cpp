#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "raw_section.h"
#include "ring_traffic.h"
#include "shm/shm_queue.h"
#include "test_support.h"

using namespace serverlink;
using namespace testing_support;

namespace {

ShmMessage DataMessage(uint32_t seq) {
    ShmMessage m;
    m.type = kMsgData;
    m.clientId = 0xC0FFEE;
    m.peerId = seq;
    m.length = 4;
    std::memcpy(m.payload, &seq, 4);
    return m;
}

// Offsets at which two snapshots differ.
std::vector<size_t> Changed(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    std::vector<size_t> out;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i]) out.push_back(i);
    return out;
}

bool Within(size_t at, size_t begin, size_t end) { return at >= begin && at < end; }

// The text a ring constructor threw, or a marker when it threw something else or nothing.
template <class F>
std::string ThrownText(F make) {
    try {
        make();
    } catch (const serverlink::CError& e) {
        return e.what();
    } catch (...) {
        return "<not the project's exception>";
    }
    return "<no exception>";
}

// Mapped views in this process whose first bytes are `tag`.
int MappedViewsStartingWith(const uint8_t* tag, size_t len) {
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    int count = 0;
    auto* p = static_cast<uint8_t*>(si.lpMinimumApplicationAddress);
    MEMORY_BASIC_INFORMATION mbi;
    while (p < si.lpMaximumApplicationAddress && VirtualQuery(p, &mbi, sizeof(mbi)) == sizeof(mbi)) {
        if (mbi.Type == MEM_MAPPED && mbi.State == MEM_COMMIT && mbi.BaseAddress == mbi.AllocationBase &&
            (mbi.Protect & readable) != 0 && (mbi.Protect & PAGE_GUARD) == 0 && mbi.RegionSize >= len &&
            std::memcmp(mbi.BaseAddress, tag, len) == 0)
            ++count;
        p = static_cast<uint8_t*>(mbi.BaseAddress) + mbi.RegionSize;
    }
    return count;
}

// Calls step() until it returns true. False when it stalled for kPatienceMs or,
// with a peer, when the peer exited first.
template <class Step>
bool Retry(Step step, const ChildProcess* peer = nullptr) {
    const ULONGLONG start = GetTickCount64();
    for (unsigned spins = 0;; ++spins) {
        if (step()) return true;
        if ((spins & 1023) == 1023) {
            if (peer != nullptr && !peer->Running()) return step();
            if (GetTickCount64() - start > kPatienceMs) return false;
        }
        SwitchToThread();
    }
}

std::wstring PeerArgs(const wchar_t* mode, uint32_t ring, int32_t slots, uint32_t count) {
    return std::wstring(mode) + L" " + std::to_wstring(ring) + L" " + std::to_wstring(slots) + L" " +
           std::to_wstring(count);
}

}  // namespace

// ---- names and capacity ----

TEST(Ring, NameIsPrefixAndUnsignedDecimal) {
    EXPECT_EQ(RingName(500), "fund_shm_500");
    EXPECT_EQ(RingName(0), "fund_shm_0");
    EXPECT_EQ(RingName(0xFFFFFFFFu), "fund_shm_4294967295");
}

TEST(Ring, FillsToExactlyNThenRefuses) {
    const uint32_t n = FreshRingNumber();
    CShmQueue q(n, 8, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());

    // A fresh ring has nothing to read, and the caller's record is left as it was.
    ShmMessage out;
    std::memset(static_cast<void*>(&out), 0x5A, sizeof(out));
    EXPECT_FALSE(q.Read(out));
    for (size_t i = 0; i < sizeof(out); ++i) ASSERT_EQ(reinterpret_cast<uint8_t*>(&out)[i], 0x5A) << i;

    for (uint32_t i = 0; i < 8; ++i) ASSERT_TRUE(q.Write(DataMessage(i))) << i;
    const std::vector<uint8_t> full = raw.Snapshot();
    EXPECT_FALSE(q.Write(DataMessage(99)));
    EXPECT_EQ(raw.Snapshot(), full) << "a refused write changed the section";
    for (uint32_t i = 0; i < 8; ++i) {
        ASSERT_TRUE(q.Read(out));
        EXPECT_EQ(out.peerId, i);
    }
    EXPECT_FALSE(q.Read(out));
}

TEST(Ring, BothIndexesWrapAfterLastSlot) {
    const uint32_t n = FreshRingNumber();
    CShmQueue q(n, 4, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());

    for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(q.Write(DataMessage(i)));
    EXPECT_EQ(raw.WriteIndex(), 3);
    ASSERT_TRUE(q.Write(DataMessage(3)));
    EXPECT_EQ(raw.WriteIndex(), 0) << "write index after the last slot";
    EXPECT_EQ(raw.ReadIndex(), 0);
    EXPECT_FALSE(q.Write(DataMessage(4))) << "slot 0 still holds message 0";

    ShmMessage out;
    for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(q.Read(out));
    EXPECT_EQ(raw.ReadIndex(), 3);
    ASSERT_TRUE(q.Read(out));
    EXPECT_EQ(out.peerId, 3u);
    EXPECT_EQ(raw.ReadIndex(), 0) << "read index after the last slot";

    // The next message goes to slot 0 again and is read from there.
    ASSERT_TRUE(q.Write(DataMessage(4)));
    EXPECT_EQ(raw.Get32(BlockSlotAt(0) + 8), 4) << "peerId of slot 0";
    EXPECT_EQ(raw.State(0), 0);
    EXPECT_EQ(raw.WriteIndex(), 1);
    ASSERT_TRUE(q.Read(out));
    EXPECT_EQ(out.peerId, 4u);
    EXPECT_EQ(raw.ReadIndex(), 1);
}

TEST(Ring, FifoAcrossManyWraps) {
    const uint32_t n = FreshRingNumber();
    const int32_t slots = 5;
    CShmQueue q(n, slots, true);
    std::deque<uint32_t> inRing;
    uint32_t next = 0, lcg = 12345;
    ShmMessage out;
    // Uneven bursts of writes and reads, so the indexes meet at every offset.
    while (next < 400) {
        lcg = lcg * 1103515245u + 12345u;
        const uint32_t writes = (lcg >> 16) % 7, reads = (lcg >> 24) % 7;
        for (uint32_t w = 0; w < writes; ++w) {
            const bool room = inRing.size() < size_t(slots);
            ShmMessage m;
            ring_traffic::Make(next, m);
            ASSERT_EQ(q.Write(m), room) << "message " << next;
            if (room) inRing.push_back(next++);
        }
        for (uint32_t r = 0; r < reads; ++r) {
            const bool any = !inRing.empty();
            ASSERT_EQ(q.Read(out), any);
            if (!any) continue;
            ASSERT_EQ(ring_traffic::Check(inRing.front(), out), "");
            inRing.pop_front();
        }
    }
    while (!inRing.empty()) {
        ASSERT_TRUE(q.Read(out));
        ASSERT_EQ(ring_traffic::Check(inRing.front(), out), "");
        inRing.pop_front();
    }
    EXPECT_FALSE(q.Read(out));
}

// ---- indexes set out of range by another party ----

TEST(RingHostileIndex, WriteIndexOutOfRangeRefusesAndWritesNothing) {
    const uint32_t n = FreshRingNumber();
    const int32_t slots = 4;
    CShmQueue q(n, slots, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());
    // The view's page slack past the ring reads as free slots, so a write through
    // an index past the end would land there and show.
    const size_t end = size_t(RingSectionSize(slots));
    ASSERT_GT(raw.Size(), end + 2 * 1312);
    std::memset(raw.Bytes() + end, 1, raw.Size() - end);
    for (const int32_t bad : {slots, slots + 1, -1, INT32_MAX, INT32_MIN}) {
        raw.Set32(kBlockWriteIndexAt, bad);
        const std::vector<uint8_t> before = raw.Snapshot();
        EXPECT_FALSE(q.Write(DataMessage(1))) << "writeIndex " << bad;
        EXPECT_FALSE(q.Write(DataMessage(2))) << "writeIndex " << bad;
        EXPECT_EQ(raw.Snapshot(), before) << "writeIndex " << bad << ": the section changed";
    }
    // Back in range, the same ring takes the message: the refusals came from the index.
    raw.Set32(kBlockWriteIndexAt, slots - 1);
    EXPECT_TRUE(q.Write(DataMessage(3)));
    EXPECT_EQ(raw.State(slots - 1), 0);
    EXPECT_EQ(raw.WriteIndex(), 0);
}

TEST(RingHostileIndex, ReadIndexOutOfRangeRefusesAndWritesNothing) {
    const uint32_t n = FreshRingNumber();
    const int32_t slots = 4;
    CShmQueue q(n, slots, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());
    for (uint32_t i = 0; i < uint32_t(slots); ++i) ASSERT_TRUE(q.Write(DataMessage(i)));
    for (const int32_t bad : {slots, slots + 1, -1, INT32_MAX, INT32_MIN}) {
        raw.Set32(kBlockReadIndexAt, bad);
        const std::vector<uint8_t> before = raw.Snapshot();
        ShmMessage out;
        std::memset(static_cast<void*>(&out), 0xA7, sizeof(out));
        EXPECT_FALSE(q.Read(out)) << "readIndex " << bad;
        for (size_t i = 0; i < sizeof(out); ++i)
            ASSERT_EQ(reinterpret_cast<uint8_t*>(&out)[i], 0xA7) << "readIndex " << bad << ", byte " << i;
        EXPECT_EQ(raw.Snapshot(), before) << "readIndex " << bad << ": the section changed";
    }
    raw.Set32(kBlockReadIndexAt, 2);
    ShmMessage out;
    ASSERT_TRUE(q.Read(out));
    EXPECT_EQ(out.peerId, 2u);
    EXPECT_EQ(raw.ReadIndex(), 3);
}

// ---- the bytes in the section ----

TEST(RingLayout, WriteAndReadTouchOnlyTheirBytesAtFixedOffsets) {
    const uint32_t n = FreshRingNumber();
    CShmQueue q(n, 4, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());

    ShmMessage m;
    m.type = kMsgPeerData;
    m.padding[0] = 0x11;
    m.padding[1] = 0x22;
    m.clientId = 0x01020304;
    m.peerId = 0x05060708;
    m.length = 3;
    m.payload[0] = 0xA1;
    m.payload[kMaxPayload - 1] = 0xB2;
    m.eventCode = 0x0A0B0C0D;
    m.eventParam = -2;
    m.extra = 0x7F000001;

    std::vector<uint8_t> before = raw.Snapshot();
    ASSERT_TRUE(q.Write(m));
    std::vector<uint8_t> after = raw.Snapshot();
    const size_t s0 = BlockSlotAt(0);
    EXPECT_EQ(raw.WriteIndex(), 1);
    EXPECT_EQ(raw.ReadIndex(), 0);
    EXPECT_EQ(raw.Get16(s0 + 0), kMsgPeerData);
    EXPECT_EQ(after[s0 + 2], 0x11);
    EXPECT_EQ(after[s0 + 3], 0x22);
    EXPECT_EQ(uint32_t(raw.Get32(s0 + 4)), 0x01020304u);
    EXPECT_EQ(uint32_t(raw.Get32(s0 + 8)), 0x05060708u);
    EXPECT_EQ(raw.Get32(s0 + 12), 3);
    EXPECT_EQ(after[s0 + 16], 0xA1);
    EXPECT_EQ(after[s0 + 1295], 0xB2);
    EXPECT_EQ(raw.Get32(s0 + 1296), 0x0A0B0C0D);
    EXPECT_EQ(raw.Get32(s0 + 1300), -2);
    EXPECT_EQ(raw.Get32(s0 + 1304), 0x7F000001);
    EXPECT_EQ(after[s0 + kBlockStateAt], 0) << "state byte: unread";
    EXPECT_EQ(std::memcmp(&after[s0], &m, 1308), 0);
    // The writer moves only writeIndex, the record and its state byte.
    for (size_t at : Changed(before, after))
        EXPECT_TRUE(Within(at, kBlockWriteIndexAt, kBlockWriteIndexAt + 4) || Within(at, s0, s0 + kBlockStateAt + 1))
            << "write changed byte " << at;

    // The next message lands 1312 bytes further.
    m.peerId = 0x99;
    ASSERT_TRUE(q.Write(m));
    EXPECT_EQ(raw.Get32(BlockSlotAt(1) + 8), 0x99);
    EXPECT_EQ(raw.State(1), 0);
    EXPECT_EQ(raw.WriteIndex(), 2);

    before = raw.Snapshot();
    ShmMessage out;
    ASSERT_TRUE(q.Read(out));
    after = raw.Snapshot();
    EXPECT_EQ(std::memcmp(&out, &before[s0], sizeof(out)), 0);
    EXPECT_EQ(raw.ReadIndex(), 1);
    EXPECT_EQ(raw.State(0), 1) << "state byte: free";
    // The reader moves only readIndex and the state byte.
    for (size_t at : Changed(before, after))
        EXPECT_TRUE(Within(at, kBlockReadIndexAt, kBlockReadIndexAt + 4) || at == s0 + kBlockStateAt)
            << "read changed byte " << at;
}

TEST(RingLayout, HeartbeatIsZeroExceptItsType) {
    const uint32_t n = FreshRingNumber();
    CShmQueue q(n, 1, true);  // one slot: the heartbeat goes where a full message was
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());
    ShmMessage dirty, out;
    ring_traffic::Make(1280, dirty);
    std::memset(dirty.padding, 0xEE, sizeof(dirty.padding));
    ASSERT_TRUE(q.Write(dirty));
    ASSERT_TRUE(q.Read(out));

    // Built the way the link builds it, on storage that held garbage.
    alignas(ShmMessage) unsigned char storage[sizeof(ShmMessage)];
    volatile unsigned char* junk = storage;
    for (size_t i = 0; i < sizeof(storage); ++i) junk[i] = 0xCD;
    ShmMessage* heartbeat = new (storage) ShmMessage;
    heartbeat->type = kMsgHeartbeat;
    ASSERT_TRUE(q.Write(*heartbeat));

    const uint8_t* slot = raw.Bytes() + BlockSlotAt(0);
    EXPECT_EQ(raw.Get16(BlockSlotAt(0)), 6);
    for (size_t i = 2; i < 1308; ++i) ASSERT_EQ(slot[i], 0) << "heartbeat byte " << i;
    EXPECT_EQ(slot[kBlockStateAt], 0);
}

TEST(RingLayout, FullPayloadFillsPayloadExactly) {
    const uint32_t n = FreshRingNumber();
    CShmQueue q(n, 2, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());
    ShmMessage m;
    m.type = kMsgData;
    m.length = kMaxPayload;
    for (uint32_t i = 0; i < kMaxPayload; ++i) m.payload[i] = ring_traffic::PayloadByte(9, i);
    m.eventCode = 0x11111111;
    m.eventParam = 0x22222222;
    m.extra = 0x33333333;
    ASSERT_TRUE(q.Write(m));

    const size_t s0 = BlockSlotAt(0);
    EXPECT_EQ(raw.Get32(s0 + 12), 1280);
    EXPECT_EQ(std::memcmp(raw.Bytes() + s0 + 16, m.payload, 1280), 0) << "payload is bytes 16..1295";
    EXPECT_EQ(raw.Get32(s0 + 1296), 0x11111111) << "eventCode follows the payload";
    EXPECT_EQ(raw.Get32(s0 + 1304), 0x33333333);
    // Slot 1 is as creation left it: cleared and free.
    for (size_t i = 0; i < 1308; ++i) ASSERT_EQ(raw.Bytes()[BlockSlotAt(1) + i], 0) << i;
    EXPECT_EQ(raw.State(1), 1);

    ShmMessage out;
    ASSERT_TRUE(q.Read(out));
    EXPECT_EQ(std::memcmp(&out, &m, sizeof(m)), 0);
}

TEST(RingLayout, SlotPaddingNeverTouched) {
    const uint32_t n = FreshRingNumber();
    const int32_t slots = 3;
    CShmQueue q(n, slots, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());
    auto pattern = [](size_t slot, size_t k) { return uint8_t(0xD0 + slot * 3 + k); };
    for (size_t s = 0; s < size_t(slots); ++s)
        for (size_t k = 0; k < 3; ++k) raw.Bytes()[BlockSlotAt(s) + 1309 + k] = pattern(s, k);
    auto expectPadding = [&](const char* after) {
        for (size_t s = 0; s < size_t(slots); ++s)
            for (size_t k = 0; k < 3; ++k)
                EXPECT_EQ(raw.Bytes()[BlockSlotAt(s) + 1309 + k], pattern(s, k))
                    << "after " << after << ": slot " << s << " padding byte " << k;
    };

    ShmMessage m, out;
    uint32_t seq = 0;
    for (int round = 0; round < 10; ++round) {  // several wraps, full and partial
        for (int w = 0; w < 1 + round % slots; ++w) {
            ring_traffic::Make(seq, m);
            if (q.Write(m)) ++seq;
        }
        for (int r = 0; r < 1 + (round * 2) % slots; ++r) (void)q.Read(out);
    }
    expectPadding("traffic");
    {
        CShmQueue reopened(n, slots, false);
        ring_traffic::Make(seq, m);
        (void)reopened.Write(m);
        (void)reopened.Read(out);
    }
    expectPadding("open mode");
    CShmQueue recreated(n, slots, true);
    expectPadding("re-creation");
}

// ---- sections: creation, opening, and sections that are not ours ----

TEST(RingSection, CreateOverUnreadMessagesResetsEverything) {
    const uint32_t n = FreshRingNumber();
    const int32_t slots = 6;
    CShmQueue first(n, slots, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());
    ShmMessage out;
    for (uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(first.Write(DataMessage(i)));
    for (uint32_t i = 0; i < 2; ++i) ASSERT_TRUE(first.Read(out));
    ASSERT_EQ(raw.WriteIndex(), 5);
    ASSERT_EQ(raw.ReadIndex(), 2);

    CShmQueue second(n, slots, true);
    EXPECT_EQ(raw.WriteIndex(), 0);
    EXPECT_EQ(raw.ReadIndex(), 0);
    for (size_t s = 0; s < size_t(slots); ++s) {
        EXPECT_EQ(raw.State(s), 1) << "slot " << s;
        for (size_t i = 0; i < 1308; ++i)
            ASSERT_EQ(raw.Bytes()[BlockSlotAt(s) + i], 0) << "slot " << s << " byte " << i;
    }
    // The old messages are gone for both views; all slots are usable again.
    EXPECT_FALSE(second.Read(out));
    EXPECT_FALSE(first.Read(out));
    for (uint32_t i = 0; i < uint32_t(slots); ++i) ASSERT_TRUE(second.Write(DataMessage(100 + i))) << i;
    EXPECT_FALSE(second.Write(DataMessage(200)));
    ASSERT_TRUE(second.Read(out));
    EXPECT_EQ(out.peerId, 100u);
}

TEST(RingSection, CreateOverHostileIndexesResetsThem) {
    const uint32_t n = FreshRingNumber();
    RawSection squat(n, uint32_t(RingSectionSize(4)));
    ASSERT_TRUE(squat.Ok());
    std::memset(squat.Bytes(), 0xFF, size_t(RingSectionSize(4)));  // indexes -1, every state byte 0xFF

    CShmQueue q(n, 4, true);
    EXPECT_EQ(squat.WriteIndex(), 0);
    EXPECT_EQ(squat.ReadIndex(), 0);
    ShmMessage out;
    EXPECT_FALSE(q.Read(out));
    for (uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(q.Write(DataMessage(i)));
    ASSERT_TRUE(q.Read(out));
    EXPECT_EQ(out.peerId, 0u);
}

TEST(RingSection, OpenModeWritesNothing) {
    const uint32_t n = FreshRingNumber();
    CShmQueue created(n, 4, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());
    for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(created.Write(DataMessage(i)));
    ShmMessage out;
    ASSERT_TRUE(created.Read(out));
    const std::vector<uint8_t> before = raw.Snapshot();
    {
        CShmQueue opened(n, 4, false);
        EXPECT_EQ(raw.Snapshot(), before) << "opening changed the section";
    }
    EXPECT_EQ(raw.Snapshot(), before) << "closing changed the section";

    // The opened ring is the same ring: it reads on where the creator stopped.
    CShmQueue opened(n, 4, false);
    ASSERT_TRUE(opened.Read(out));
    EXPECT_EQ(out.peerId, 1u);
}

TEST(RingSection, SquattedSmallSectionIsRefusedAndLeftAlone) {
    for (const bool create : {true, false}) {
        for (const int32_t slots : {128, 4}) {
            SCOPED_TRACE(std::string(create ? "create" : "open") + " mode, " + std::to_string(slots) + " slots");
            const uint32_t n = FreshRingNumber();
            {
                RawSection squat(n, 4096);
                ASSERT_TRUE(squat.Ok());
                ASSERT_EQ(squat.Size(), 4096u);
                for (size_t i = 0; i < 4096; ++i) squat.Bytes()[i] = uint8_t(i * 13 + 7);
                std::memcpy(squat.Bytes(), &n, 4);  // makes the first bytes unique to this section
                const std::vector<uint8_t> before = squat.Snapshot();

                EXPECT_EQ(ThrownText([&] { CShmQueue q(n, slots, create); }), "map shm fail!");
                EXPECT_EQ(squat.Snapshot(), before) << "the refused ring wrote into the section";
                EXPECT_EQ(MappedViewsStartingWith(squat.Bytes(), 16), 1) << "the refused ring left a view mapped";
            }
            // With the squatter gone the name is free, so the refused ring kept no handle to it.
            EXPECT_EQ(ThrownText([&] { CShmQueue q(n, slots, false); }), "create shm fail!");
            CShmQueue q(n, slots, true);
            EXPECT_TRUE(q.Write(DataMessage(1)));
        }
    }
}

TEST(RingSection, OpenMissingRingThrowsCreateFail) {
    const uint32_t n = FreshRingNumber();
    EXPECT_EQ(ThrownText([&] { CShmQueue q(n, 128, false); }), "create shm fail!");
    RawSection raw(n);
    EXPECT_FALSE(raw.Ok()) << "open mode created the section";
}

// ---- concurrency: threads and processes ----

TEST(RingConcurrency, ThreadsLoseAndTearNothing) {
    const uint32_t n = FreshRingNumber();
    const int32_t slots = 16;
    const uint32_t count = 20000;
    CShmQueue reader(n, slots, true);  // this thread reads
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> written{0};
    std::thread writerThread([&] {
        // The writer has its own view of the section, as another process would.
        CShmQueue writer(n, slots, false);
        ShmMessage m;
        for (uint32_t seq = 0; seq < count && !stop; ++seq) {
            ring_traffic::Make(seq, m);  // the whole payload carries the pattern
            while (!writer.Write(m)) {
                if (stop) return;
                SwitchToThread();
            }
            written = seq + 1;
        }
    });
    ShmMessage m;
    std::string fault;
    uint32_t seq = 0;
    for (; seq < count; ++seq) {
        if (!Retry([&] { return reader.Read(m); })) break;
        fault = ring_traffic::Check(seq, m);
        if (!fault.empty()) break;
    }
    stop = true;
    writerThread.join();
    EXPECT_EQ(fault, "");
    EXPECT_EQ(seq, count) << "messages read; written: " << written.load();
    EXPECT_FALSE(reader.Read(m)) << "more messages than were written";
}

TEST(RingConcurrency, PeerProcessReadsWhatWeWriteAcrossWraps) {
    const uint32_t n = FreshRingNumber();
    const int32_t slots = 128;
    const uint32_t count = 5000;
    CShmQueue q(n, slots, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());
    ChildProcess peer(BesideExe(L"ring_peer.exe"), PeerArgs(L"read", n, slots, count));
    ASSERT_TRUE(peer.Started()) << "ring_peer.exe did not start";

    ShmMessage m;
    uint32_t seq = 0;
    for (; seq < count; ++seq) {
        ring_traffic::Make(seq, m);
        if (!Retry([&] { return q.Write(m); }, &peer)) break;
    }
    ASSERT_TRUE(peer.Wait(kOuterPatienceMs)) << "peer still running";
    EXPECT_EQ(seq, count) << "the ring stayed full; peer said: " << peer.Stderr();
    EXPECT_EQ(peer.ExitCode(), 0u) << peer.Stderr();
    // The peer took everything: both indexes met after count % slots wraps.
    EXPECT_EQ(raw.WriteIndex(), int32_t(count % slots));
    EXPECT_EQ(raw.ReadIndex(), int32_t(count % slots));
    for (int32_t s = 0; s < slots; ++s) EXPECT_EQ(raw.State(s), 1) << "slot " << s;
}

TEST(RingConcurrency, WeReadWhatPeerProcessWritesAcrossWraps) {
    const uint32_t n = FreshRingNumber();
    const int32_t slots = 128;
    const uint32_t count = 5000;
    CShmQueue q(n, slots, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());
    ChildProcess peer(BesideExe(L"ring_peer.exe"),
                                       PeerArgs(L"write", n, slots, count));
    ASSERT_TRUE(peer.Started()) << "ring_peer.exe did not start";

    ShmMessage m;
    std::string fault;
    uint32_t seq = 0;
    for (; seq < count; ++seq) {
        if (!Retry([&] { return q.Read(m); }, &peer)) break;
        fault = ring_traffic::Check(seq, m);
        if (!fault.empty()) break;
    }
    ASSERT_TRUE(peer.Wait(kOuterPatienceMs)) << "peer still running";
    EXPECT_EQ(fault, "");
    EXPECT_EQ(seq, count) << "messages read; peer said: " << peer.Stderr();
    EXPECT_EQ(peer.ExitCode(), 0u) << peer.Stderr();
    EXPECT_FALSE(q.Read(m)) << "more messages than the peer wrote";
    EXPECT_EQ(raw.WriteIndex(), int32_t(count % slots));
    EXPECT_EQ(raw.ReadIndex(), int32_t(count % slots));
}
