// One writer thread and one reader thread on a 128-slot ring over shared
// bytes, built with ThreadSanitizer: every record arrives, in order and whole,
// whether it was copied in or filled in place. A side that stops making
// progress fails the test rather than spinning until ctest gives up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// How one side has fared waiting for the other: it gives up once it has
// found nothing to do for kStallBound since it last moved a record. A bound
// on progress, not on the run's total time.
constexpr std::chrono::seconds kStallBound{60};

class Patience {
public:
    // Called each time the side finds nothing to do.
    bool Exhausted() {
        const auto now = std::chrono::steady_clock::now();
        if (!m_waiting) {
            m_waiting = true;
            m_since = now;
        }
        return now - m_since > kStallBound;
    }
    void Moved() { m_waiting = false; }

private:
    bool m_waiting = false;
    std::chrono::steady_clock::time_point m_since;
};

enum class Publish { Copy, InPlace };

std::string Stuck(const char* side, uint32_t seq, const char* waitingFor) {
    return std::string(side) + " stuck at record " + std::to_string(seq) + ": " + waitingFor + " for " +
           std::to_string(kStallBound.count()) + " s";
}

void MillionRecords(Publish publish) {
    RingBlock block(kSlots);
    CRing writerSide(block.Bytes(), kSlots);
    writerSide.Initialize();
    // Each side has its own CRing over the same bytes, as two processes would.
    CRing readerSide(block.Bytes(), kSlots);

    uint64_t fullWrites = 0;  // owned by the writer thread until joined
    std::string writerStuck;  // likewise
    std::atomic<bool> writerDone{false};
    std::atomic<bool> readerGaveUp{false};
    auto writeAll = [&] {
        ShmMessage m;
        Patience patience;
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
                if (readerGaveUp.load(std::memory_order_relaxed)) return;
                if (patience.Exhausted()) {
                    writerStuck = Stuck("writer", seq, "the ring stayed full");
                    return;
                }
                ++fullWrites;
                std::this_thread::yield();
            }
            patience.Moved();
        }
    };
    std::thread writer([&] {
        writeAll();
        writerDone.store(true, std::memory_order_release);
    });

    std::string firstError;
    std::string readerStuck;
    uint32_t received = 0;
    ShmMessage m;
    Patience patience;
    while (received < kRecords) {
        // Read before reading the ring: once the writer is done, an empty ring
        // means records were lost, which shows as a short count, not a hang.
        const bool finished = writerDone.load(std::memory_order_acquire);
        if (readerSide.Read(m)) {
            if (firstError.empty()) firstError = Check(received, m);
            ++received;
            patience.Moved();
        } else if (finished) {
            break;
        } else if (patience.Exhausted()) {
            readerStuck = Stuck("reader", received, "nothing arrived");
            readerGaveUp.store(true, std::memory_order_relaxed);
            break;
        } else {
            std::this_thread::yield();
        }
    }
    writer.join();

    EXPECT_EQ(writerStuck, "");
    EXPECT_EQ(readerStuck, "");
    if (!writerStuck.empty() || !readerStuck.empty()) return;  // the rest would only echo it
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
