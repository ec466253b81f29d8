// The code-5 parameter mixing function and its inverse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "events/descramble.h"

using serverlink::descramble;
using serverlink::scramble;

namespace {

// The eight mixing steps written out plainly, one statement each.
uint32_t ReferenceScramble(uint32_t x) {
    x = x + (x << 12);
    x = x ^ (x >> 22);
    x = x + (x << 4);
    x = x ^ (x >> 9);
    x = x + (x << 10);
    x = x ^ (x >> 2);
    x = x + (x << 7);
    x = x ^ (x >> 12);
    return x;
}

// Values where shift and carry mistakes show first.
std::vector<uint32_t> EdgeValues() {
    std::vector<uint32_t> v = {0u, 1u, 2u, 3u, 0x7FFFFFFFu, 0x80000000u, 0x80000001u, 0xFFFFFFFFu, 0xFFFFFFFEu,
                               0x55555555u, 0xAAAAAAAAu, 0x0000FFFFu, 0xFFFF0000u, 0x00FF00FFu, 0xC7618194u,
                               0xAF227BB7u, 0xDEADBEEFu};
    for (int b = 0; b < 32; ++b) {
        v.push_back(1u << b);
        v.push_back(~(1u << b));
        v.push_back((1u << b) - 1u);
    }
    return v;
}

// Numerical Recipes LCG: full period, cheap, and no two draws alike.
struct Lcg {
    uint32_t state;
    uint32_t Next() { return state = state * 1664525u + 1013904223u; }
};

constexpr int kSample = 3000000;

}  // namespace

TEST(Descramble, KnownValues) {
    EXPECT_EQ(descramble(0u), 0u);
    EXPECT_EQ(scramble(0u), 0u);
    EXPECT_EQ(descramble(1u), 0xC7618194u);
    EXPECT_EQ(scramble(1u), 0xAF227BB7u);
    EXPECT_EQ(scramble(0xC7618194u), 1u);
    EXPECT_EQ(descramble(0xAF227BB7u), 1u);
}

TEST(Descramble, ScrambleMatchesThePlainSteps) {
    for (uint32_t x : EdgeValues()) EXPECT_EQ(scramble(x), ReferenceScramble(x)) << std::hex << x;
    Lcg lcg{12345u};
    for (int i = 0; i < kSample; ++i) {
        const uint32_t x = lcg.Next();
        ASSERT_EQ(scramble(x), ReferenceScramble(x)) << std::hex << x;
    }
}

TEST(Descramble, InvertsScrambleBothWays) {
    for (uint32_t x : EdgeValues()) {
        EXPECT_EQ(descramble(ReferenceScramble(x)), x) << std::hex << x;
        EXPECT_EQ(ReferenceScramble(descramble(x)), x) << std::hex << x;
    }
    Lcg lcg{0xC0FFEEu};
    for (int i = 0; i < kSample; ++i) {
        const uint32_t x = lcg.Next();
        ASSERT_EQ(descramble(ReferenceScramble(x)), x) << std::hex << x;
        ASSERT_EQ(ReferenceScramble(descramble(x)), x) << std::hex << x;
    }
    // Consecutive values: low-bit carries into every group.
    for (uint32_t x = 0; x < 1u << 20; ++x) ASSERT_EQ(descramble(ReferenceScramble(x)), x) << std::hex << x;
    for (uint32_t x = 0xFFFFFFFFu; x > 0xFFFFFFFFu - (1u << 20); --x)
        ASSERT_EQ(ReferenceScramble(descramble(x)), x) << std::hex << x;
}

TEST(Descramble, DistinctInputsGiveDistinctOutputs) {
    // On consecutive inputs, where a lost high or low group would collide.
    std::vector<uint32_t> out;
    out.reserve(1u << 21);
    for (uint32_t x = 0; x < 1u << 20; ++x) out.push_back(descramble(x));
    // Inputs differing only above bit 11; those below 2^20 are already in.
    for (uint32_t x = 256; x < 1u << 20; ++x) out.push_back(descramble(x << 12));
    const size_t inputs = out.size();
    std::sort(out.begin(), out.end());
    EXPECT_EQ(size_t(std::unique(out.begin(), out.end()) - out.begin()), inputs);
}
