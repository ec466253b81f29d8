#pragma once
// Decoding of a ring for ringview: works on bytes already copied out of the
// section, so nothing here ever reads shared memory.
#include <cstdint>
#include <string>
#include <vector>

#include "shm/shm_message.h"

namespace ringview {

// Largest slot count whose section size still fits in 32 bits.
constexpr int32_t kMaxSlots =
    static_cast<int32_t>((0xFFFFFFFFull - serverlink::kRingHeaderSize) / serverlink::kSlotSize);

struct Arguments {
    uint32_t ring = 0;
    int32_t slots = serverlink::kRingSlots;
};

// "<ring number> [slot count]": both unsigned decimal, slots 1..kMaxSlots.
// False with a reason when they are not.
bool ParseArguments(int argc, const char* const* argv, Arguments& out, std::string& error);

std::string Usage();

// "data(4)", "heartbeat(6)", ..., "unknown(n)".
std::string TypeName(uint16_t type);

// The report on a ring. `bytes` is the copy of the section's first
// RingSectionSize(slots) bytes; sectionSize is the whole mapped size.
std::string Describe(const std::string& name, int32_t slots, uint64_t sectionSize, const std::vector<uint8_t>& bytes);

}  // namespace ringview
