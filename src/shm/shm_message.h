#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../../include/serverlink_codes.h"

namespace serverlink {

// Message types carried by the rings.
enum : uint16_t {
    kMsgData = 4,       // out: data for a peer
    kMsgHeartbeat = 6,  // out: heartbeat
    kMsgEvent = 7,      // in: event
    kMsgPeerData = 8,   // in: data from a peer
    kMsgNoticeA = 9,    // in: notice, delivered as event code 8
    kMsgNoticeB = 10,   // in: notice, delivered as event code 9
};

constexpr uint32_t kMaxPayload = SERVERLINK_MAX_DATA;

// One record of a ring slot; the same layout in every direction and process.
struct ShmMessage {
    uint16_t type;
    uint8_t padding[2];
    uint32_t clientId;
    uint32_t peerId;
    uint32_t length;
    uint8_t payload[kMaxPayload];
    int32_t eventCode;
    int32_t eventParam;
    int32_t extra;

    // A cleared record: every field zero. The padding is zeroed too, so no stale
    // process memory ever reaches a shared section.
    ShmMessage() { Clear(); }
    void Clear() { std::memset(static_cast<void*>(this), 0, sizeof(*this)); }
};

static_assert(sizeof(ShmMessage) == 1308, "ShmMessage is 1308 bytes");
static_assert(offsetof(ShmMessage, type) == 0, "");
static_assert(offsetof(ShmMessage, padding) == 2, "");
static_assert(offsetof(ShmMessage, clientId) == 4, "");
static_assert(offsetof(ShmMessage, peerId) == 8, "");
static_assert(offsetof(ShmMessage, length) == 12, "");
static_assert(offsetof(ShmMessage, payload) == 16, "");
static_assert(offsetof(ShmMessage, eventCode) == 1296, "");
static_assert(offsetof(ShmMessage, eventParam) == 1300, "");
static_assert(offsetof(ShmMessage, extra) == 1304, "");

// One slot: the message, then the state byte that is the only handshake between
// writer and reader (1 = free, 0 = holds an unread message).
struct ShmSlot {
    ShmMessage message;
    uint8_t empty;
    uint8_t padding[3];
};

static_assert(sizeof(ShmSlot) == 1312, "ShmSlot is 1312 bytes");
static_assert(offsetof(ShmSlot, empty) == 1308, "");

// Section header: the two indexes, followed by the slots.
struct ShmHeader {
    int32_t writeIndex;
    int32_t readIndex;
};

static_assert(sizeof(ShmHeader) == 8, "");

constexpr uint32_t kRingHeaderSize = sizeof(ShmHeader);
constexpr uint32_t kSlotSize = sizeof(ShmSlot);
// Every ring of a link, either way, has this many slots.
constexpr int32_t kRingSlots = 128;
constexpr char kRingNamePrefix[] = "fund_shm_";

// The two rings of a channel: the link writes the first, the local server the
// second. Computed in 32 bits: channel 65535's incoming ring is 65536.
constexpr uint32_t OutgoingRing(uint16_t channelId) { return channelId; }
constexpr uint32_t IncomingRing(uint16_t channelId) { return uint32_t(channelId) + 1u; }

// Bytes a section of n slots needs (167944 for 128).
constexpr uint64_t RingSectionSize(int32_t slots) {
    return uint64_t(kRingHeaderSize) + uint64_t(slots < 0 ? 0 : slots) * kSlotSize;
}
static_assert(RingSectionSize(kRingSlots) == 167944, "");

}  // namespace serverlink
