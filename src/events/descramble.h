#pragma once
#include <cstdint>

namespace serverlink {

// The mixing function the local server applies to code-5 event parameters, and
// its exact inverse. Both are bijections on 32-bit values.
uint32_t scramble(uint32_t x);
uint32_t descramble(uint32_t v);

}  // namespace serverlink
