#pragma once
// Sequenced ring traffic shared by the ring tests and ring_peer.exe: every byte
// of message `seq` derives from seq, so a reader in another thread or process
// can check a message, payload and padding included, without seeing the writer.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "shm/shm_message.h"

namespace ring_traffic {

inline uint8_t PayloadByte(uint32_t seq, uint32_t i) {
    return static_cast<uint8_t>((seq * 131u) ^ (i * 7u) ^ (i >> 8) ^ 0x5Au);
}

// The whole record is filled, whatever the length, so a torn copy shows
// anywhere in it; lengths run through 0..1280.
inline void Make(uint32_t seq, serverlink::ShmMessage& m) {
    static const uint16_t kTypes[] = {serverlink::kMsgData, serverlink::kMsgEvent, serverlink::kMsgPeerData,
                                      serverlink::kMsgNoticeA, serverlink::kMsgNoticeB};
    m.Clear();
    m.type = kTypes[seq % 5];
    m.clientId = seq ^ 0xA5A50000u;
    m.peerId = seq;
    m.length = seq % (serverlink::kMaxPayload + 1);
    for (uint32_t i = 0; i < serverlink::kMaxPayload; ++i) m.payload[i] = PayloadByte(seq, i);
    m.eventCode = static_cast<int32_t>(seq * 3u);
    m.eventParam = static_cast<int32_t>(~seq);
    m.extra = static_cast<int32_t>(seq << 1);
}

// Empty when m is exactly message seq; otherwise where it first differs.
inline std::string Check(uint32_t seq, const serverlink::ShmMessage& m) {
    serverlink::ShmMessage want;
    Make(seq, want);
    const auto* a = reinterpret_cast<const uint8_t*>(&m);
    const auto* b = reinterpret_cast<const uint8_t*>(&want);
    for (size_t i = 0; i < sizeof(want); ++i) {
        if (a[i] != b[i]) {
            char text[128];
            std::snprintf(text, sizeof(text), "message %u: byte %u is 0x%02x, expected 0x%02x (record of peerId %u)",
                          seq, static_cast<unsigned>(i), a[i], b[i], m.peerId);
            return text;
        }
    }
    return {};
}

}  // namespace ring_traffic
