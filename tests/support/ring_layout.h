#pragma once
// Offsets of a ring's shared block, for tests that look at the bytes as the
// other process does. Written out here rather than taken from the structs, so
// that a change to the structs shows up as a failure.
#include <cstddef>

namespace testing_support {

constexpr size_t kBlockWriteIndexAt = 0;
constexpr size_t kBlockReadIndexAt = 4;
constexpr size_t kBlockSlotSize = 1312;
constexpr size_t kBlockMessageSize = 1308;
constexpr size_t kBlockStateAt = 1308;  // within a slot
constexpr size_t BlockSlotAt(size_t i) { return 8 + i * kBlockSlotSize; }
constexpr size_t BlockSize(size_t slots) { return 8 + slots * kBlockSlotSize; }

}  // namespace testing_support
