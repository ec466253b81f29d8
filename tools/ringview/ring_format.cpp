#include "ring_format.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace ringview {

namespace {

// A slot's state byte: 0 while it holds an unread message, 1 when free.
constexpr uint8_t kSlotFull = 0;
constexpr uint8_t kSlotFree = 1;
// Payload bytes shown of each message.
constexpr uint32_t kShownBytes = 16;

bool ParseUnsigned(const char* s, uint64_t max, uint64_t& out) {
    if (s == nullptr || *s == '\0') return false;
    uint64_t v = 0;
    for (; *s != '\0'; ++s) {
        if (*s < '0' || *s > '9') return false;
        v = v * 10 + uint64_t(*s - '0');
        if (v > max) return false;
    }
    out = v;
    return true;
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    char buf[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof(buf), fmt, args);
    va_end(args);
    return buf;
}

std::string IndexLine(const char* label, int32_t index, int32_t slots) {
    if (index >= 0 && index < slots) return Format("%s %ld (in range)\n", label, long(index));
    return Format("%s %ld (OUT OF RANGE 0..%ld)\n", label, long(index), long(slots - 1));
}

}  // namespace

std::string Usage() {
    return Format("usage: ringview <ring number> [slot count, default %d]\n"
                  "  Prints the indexes and unread messages of ring fund_shm_<ring number>.\n"
                  "  The ring must exist; it is only read.\n",
                  int(serverlink::kRingSlots));
}

bool ParseArguments(int argc, const char* const* argv, Arguments& out, std::string& error) {
    if (argc < 2 || argc > 3) {
        error = "expected a ring number and optionally a slot count";
        return false;
    }
    uint64_t ring = 0, slots = uint64_t(serverlink::kRingSlots);
    if (!ParseUnsigned(argv[1], 0xFFFFFFFFull, ring)) {
        error = Format("ring number '%.40s' is not an unsigned decimal of 32 bits", argv[1]);
        return false;
    }
    if (argc == 3 && (!ParseUnsigned(argv[2], uint64_t(kMaxSlots), slots) || slots == 0)) {
        error = Format("slot count '%.40s' is not a number from 1 to %ld", argv[2], long(kMaxSlots));
        return false;
    }
    out.ring = uint32_t(ring);
    out.slots = int32_t(slots);
    return true;
}

std::string TypeName(uint16_t type) {
    const char* name = nullptr;
    switch (type) {
        case serverlink::kMsgData: name = "data"; break;
        case serverlink::kMsgHeartbeat: name = "heartbeat"; break;
        case serverlink::kMsgEvent: name = "event"; break;
        case serverlink::kMsgPeerData: name = "peer data"; break;
        case serverlink::kMsgNoticeA: name = "notice A"; break;
        case serverlink::kMsgNoticeB: name = "notice B"; break;
        default: name = "unknown"; break;
    }
    return Format("%s(%u)", name, unsigned(type));
}

std::string Describe(const std::string& name, int32_t slots, uint64_t sectionSize, const std::vector<uint8_t>& bytes) {
    using serverlink::kRingHeaderSize;
    using serverlink::kSlotSize;
    const uint64_t needed = serverlink::RingSectionSize(slots);
    std::string out = "ring " + name + "\n";
    out += Format("section %llu bytes; %ld slots use %llu\n", (unsigned long long)sectionSize, long(slots),
                  (unsigned long long)needed);
    if (slots <= 0 || bytes.size() < needed) return out + "(copy too short to decode)\n";

    serverlink::ShmHeader header;
    std::memcpy(&header, bytes.data(), sizeof(header));
    out += IndexLine("writeIndex", header.writeIndex, slots);
    out += IndexLine("readIndex", header.readIndex, slots);

    std::vector<int32_t> occupied;
    std::string odd;
    for (int32_t i = 0; i < slots; ++i) {
        const uint8_t state = bytes[kRingHeaderSize + size_t(i) * kSlotSize + offsetof(serverlink::ShmSlot, empty)];
        if (state == kSlotFull)
            occupied.push_back(i);
        else if (state != kSlotFree)
            odd += Format(" %ld=0x%02x", long(i), unsigned(state));
    }
    out += Format("occupied %u of %ld", unsigned(occupied.size()), long(slots));
    for (size_t k = 0; k < occupied.size(); ++k) out += Format("%s%ld", k == 0 ? ": " : " ", long(occupied[k]));
    out += "\n";
    // The ring treats any non-zero state as free; say so when it is not plain 1.
    if (!odd.empty()) out += "free slots with a state byte other than 1:" + odd + "\n";

    for (int32_t i : occupied) {
        serverlink::ShmMessage m;
        std::memcpy(&m, &bytes[kRingHeaderSize + size_t(i) * kSlotSize], sizeof(m));
        out += Format("slot %ld: %s clientId %lu peerId %lu length %lu", long(i), TypeName(m.type).c_str(),
                      (unsigned long)m.clientId, (unsigned long)m.peerId, (unsigned long)m.length);
        if (m.length > serverlink::kMaxPayload) out += Format(" (OVER %lu)", (unsigned long)serverlink::kMaxPayload);
        out += Format(" eventCode 0x%08lx eventParam 0x%08lx extra 0x%08lx payload", (unsigned long)uint32_t(m.eventCode),
                      (unsigned long)uint32_t(m.eventParam), (unsigned long)uint32_t(m.extra));
        uint32_t shown = m.length < serverlink::kMaxPayload ? m.length : serverlink::kMaxPayload;
        if (shown > kShownBytes) shown = kShownBytes;
        if (shown == 0) out += " (none)";
        for (uint32_t b = 0; b < shown; ++b) out += Format(" %02x", unsigned(m.payload[b]));
        if (shown != 0 && m.length > shown) out += " ...";
        out += "\n";
    }
    return out;
}

}  // namespace ringview
