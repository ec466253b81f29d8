#include <gtest/gtest.h>

#include <cstring>

#include "shm/shm_queue.h"
#include "test_support.h"

using namespace serverlink;

namespace {

uint32_t FreshRingNumber() { return 100000 + (testing_support::UniqueNumber() & 0x3FFFFFF); }

ShmMessage DataMessage(uint32_t seq) {
    ShmMessage m;
    m.type = kMsgData;
    m.clientId = 0xC0FFEE;
    m.peerId = seq;
    m.length = 4;
    std::memcpy(m.payload, &seq, 4);
    return m;
}

}  // namespace

TEST(Ring, NameIsPrefixAndUnsignedDecimal) {
    EXPECT_EQ(RingName(500), "fund_shm_500");
    EXPECT_EQ(RingName(0), "fund_shm_0");
    EXPECT_EQ(RingName(0xFFFFFFFFu), "fund_shm_4294967295");
}

TEST(Ring, FillsToExactlyNThenRefuses) {
    const uint32_t n = FreshRingNumber();
    CShmQueue q(n, 8, true);
    for (uint32_t i = 0; i < 8; ++i) ASSERT_TRUE(q.Write(DataMessage(i))) << i;
    EXPECT_FALSE(q.Write(DataMessage(99)));
    ShmMessage out;
    for (uint32_t i = 0; i < 8; ++i) {
        ASSERT_TRUE(q.Read(out));
        EXPECT_EQ(out.peerId, i);
    }
    EXPECT_FALSE(q.Read(out));
}
