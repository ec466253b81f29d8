// One writer thread and one reader thread on a 128-slot ring over shared
// bytes, built with ThreadSanitizer: every record arrives, in order and whole,
// whether it was copied in or filled in place.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "ring_block.h"
#include "shm/ring.h"

using namespace serverlink;
using namespace testing_support;

namespace {

constexpr uint32_t kRecords = 1000000;
constexpr int32_t kSlots = 128;

uint32_t Mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

// Checksum over the record's meaningful bytes, the checksum field (extra)
// excluded.
int32_t Checksum(const ShmMessage& m) {
    uint32_t h = 2166136261u;
    auto add = [&](uint32_t v) { h = (h ^ v) * 16777619u; };
    add(m.type);
    add(m.clientId);
    add(m.peerId);
    add(m.length);
    add(uint32_t(m.eventCode));
    add(uint32_t(m.eventParam));
    const uint32_t n = m.length > kMaxPayload ? kMaxPayload : m.length;
    for (uint32_t i = 0; i < n; i += 4) {
        uint32_t word = 0;
        std::memcpy(&word, m.payload + i, n - i < 4 ? n - i : 4);
        add(word);
    }
    return int32_t(h);
}

// Record seq: sequence number in peerId, its own length and payload, checksum
// in extra.
void Make(uint32_t seq, ShmMessage& m) {
    m.type = kMsgPeerData;
    m.clientId = Mix(seq);
    m.peerId = seq;
    m.length = Mix(seq ^ 0xA5A5A5A5u) % (kMaxPayload + 1);
    uint32_t word = Mix(seq + 1);
    for (uint32_t i = 0; i < m.length; i += 4) {
        word = Mix(word);
        std::memcpy(m.payload + i, &word, m.length - i < 4 ? m.length - i : 4);
    }
    m.eventCode = int32_t(~seq);
    m.eventParam = int32_t(seq * 2654435761u);
    m.extra = Checksum(m);
}

// Empty when m is record seq, else what is wrong with it. The checksum covers
// the payload; the fields that derive from seq are compared directly.
std::string Check(uint32_t seq, const ShmMessage& m) {
    if (m.peerId != seq) return "sequence " + std::to_string(m.peerId) + " where " + std::to_string(seq) + " was due";
    if (m.extra != Checksum(m)) return "record " + std::to_string(seq) + " fails its checksum (torn)";
    if (m.type != kMsgPeerData || m.clientId != Mix(seq) || m.length != Mix(seq ^ 0xA5A5A5A5u) % (kMaxPayload + 1) ||
        m.eventCode != int32_t(~seq) || m.eventParam != int32_t(seq * 2654435761u))
        return "record " + std::to_string(seq) + " differs from what was written";
    return {};
}

enum class Publish { Copy, InPlace };

void MillionRecords(Publish publish) {
    RingBlock block(kSlots);
    CRing writerSide(block.Bytes(), kSlots);
    writerSide.Initialize();
    // Each side has its own CRing over the same bytes, as two processes would.
    CRing readerSide(block.Bytes(), kSlots);

    uint64_t fullWrites = 0;  // owned by the writer thread until joined
    std::atomic<bool> writerDone{false};
    auto writeAll = [&] {
        ShmMessage m;
        // Made straight in the slot, the record is laid over the slot's previous
        // one, as SendData does: Make sets every field but the padding and the
        // payload past length, which the checksum leaves out.
        auto put = [&](uint32_t seq) {
            if (publish == Publish::InPlace)
                return writerSide.WriteInPlace([seq](ShmMessage& slot) { Make(seq, slot); });
            return writerSide.Write(m);
        };
        for (uint32_t seq = 0; seq < kRecords; ++seq) {
            if (publish == Publish::Copy) Make(seq, m);
            while (!put(seq)) {
                ++fullWrites;
                std::this_thread::yield();
            }
        }
    };
    std::thread writer([&] {
        writeAll();
        writerDone.store(true, std::memory_order_release);
    });

    std::string firstError;
    uint32_t received = 0;
    ShmMessage m;
    while (received < kRecords) {
        // Read before reading the ring: once the writer is done, an empty ring
        // means records were lost, which shows as a short count, not a hang.
        const bool finished = writerDone.load(std::memory_order_acquire);
        if (readerSide.Read(m)) {
            if (firstError.empty()) firstError = Check(received, m);
            ++received;
        } else if (finished) {
            break;
        } else {
            std::this_thread::yield();
        }
    }
    writer.join();

    EXPECT_EQ(firstError, "");
    EXPECT_EQ(received, kRecords);
    ShmMessage extra;
    EXPECT_FALSE(readerSide.Read(extra)) << "more records than were written";
    EXPECT_EQ(block.WriteIndex(), int32_t(kRecords % kSlots));
    EXPECT_EQ(block.ReadIndex(), int32_t(kRecords % kSlots));
    testing::Test::RecordProperty("writes_that_found_the_ring_full", std::to_string(fullWrites));
}

}  // namespace

TEST(RingThreads, MillionRecordsNoneLostReorderedOrTorn) { MillionRecords(Publish::Copy); }

// The path SendData takes: the slot must be whole before its state byte says so.
TEST(RingThreads, MillionRecordsFilledInPlaceNoneLostReorderedOrTorn) { MillionRecords(Publish::InPlace); }
