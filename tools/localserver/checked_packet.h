#pragma once
// Data packets that carry their own proof: who sent them, in which order, and
// a checksum over everything else. The reference server checks them in its
// "check" drain mode; load tests and the benchmark make them.
#include <cstdint>
#include <cstring>

namespace checked_packet {

constexpr uint32_t kMagic = 0x4B434C53;  // "SLCK"
constexpr uint32_t kHeaderSize = 16;     // magic, sender, seq, checksum

// FNV-1a (32 bits) over sender, seq and the bytes after the header.
constexpr uint32_t kFnvOffsetBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;

inline uint32_t Checksum(uint32_t sender, uint32_t seq, const uint8_t* rest, uint32_t n) {
    uint32_t h = kFnvOffsetBasis;
    auto mix = [&h](uint8_t b) {
        h ^= b;
        h *= kFnvPrime;
    };
    for (int i = 0; i < 4; ++i) mix(uint8_t(sender >> (8 * i)));
    for (int i = 0; i < 4; ++i) mix(uint8_t(seq >> (8 * i)));
    for (uint32_t i = 0; i < n; ++i) mix(rest[i]);
    return h;
}

// Fills `length` bytes (at least kHeaderSize) of packet `seq` of `sender`.
inline void Make(uint32_t sender, uint32_t seq, uint8_t* out, uint32_t length) {
    for (uint32_t i = kHeaderSize; i < length; ++i) out[i] = uint8_t((seq * 31u) ^ (sender * 7u) ^ i);
    const uint32_t sum = Checksum(sender, seq, out + kHeaderSize, length - kHeaderSize);
    const uint32_t header[4] = {kMagic, sender, seq, sum};
    std::memcpy(out, header, sizeof(header));
}

// True when the bytes are an intact packet; then *sender and *seq are its.
inline bool Check(const uint8_t* in, uint32_t length, uint32_t* sender, uint32_t* seq) {
    if (length < kHeaderSize) return false;
    uint32_t header[4];
    std::memcpy(header, in, sizeof(header));
    if (header[0] != kMagic) return false;
    if (Checksum(header[1], header[2], in + kHeaderSize, length - kHeaderSize) != header[3]) return false;
    *sender = header[1];
    *seq = header[2];
    return true;
}

}  // namespace checked_packet
