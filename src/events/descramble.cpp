#include "descramble.h"

namespace serverlink {

namespace {

// x for which x ^ (x >> k) == y: the top k bits are y's; each lower group
// follows from the group k bits above it.
uint32_t UnXorShiftRight(uint32_t y, unsigned k) {
    uint32_t x = y;
    for (unsigned done = k; done < 32; done += k) x = y ^ (x >> k);
    return x;
}

// x for which x + (x << k) == y (mod 2^32): the low k bits are y's; each higher
// group follows by subtraction, borrow carried along.
uint32_t UnAddShiftLeft(uint32_t y, unsigned k) {
    uint32_t x = y;
    for (unsigned done = k; done < 32; done += k) x = y - (x << k);
    return x;
}

}  // namespace

uint32_t scramble(uint32_t x) {
    x += x << 12;
    x ^= x >> 22;
    x += x << 4;
    x ^= x >> 9;
    x += x << 10;
    x ^= x >> 2;
    x += x << 7;
    x ^= x >> 12;
    return x;
}

uint32_t descramble(uint32_t v) {
    v = UnXorShiftRight(v, 12);
    v = UnAddShiftLeft(v, 7);
    v = UnXorShiftRight(v, 2);
    v = UnAddShiftLeft(v, 10);
    v = UnXorShiftRight(v, 9);
    v = UnAddShiftLeft(v, 4);
    v = UnXorShiftRight(v, 22);
    v = UnAddShiftLeft(v, 12);
    return v;
}

}  // namespace serverlink
