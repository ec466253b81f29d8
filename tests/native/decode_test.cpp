// Decoding of incoming records: what each type turns into, the 1280-byte cut
// of a length that another process wrote, and the types that are ignored.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "events/decode.h"
#include "serverlink_codes.h"

using namespace serverlink;

namespace {

struct Delivery {
    bool data;
    uint32_t id;
    int32_t code;     // event only
    intptr_t param;   // event only
    const uint8_t* bytes;  // data only
    uint32_t length;  // data only
    int32_t extra;
};

class Recorder final : public IRecordReceiver {
public:
    std::vector<Delivery> got;
    void HandleEvent(uint32_t id, int32_t code, intptr_t param, int32_t extra) override {
        got.push_back(Delivery{false, id, code, param, nullptr, 0, extra});
    }
    void HandleData(uint32_t id, const uint8_t* data, uint32_t length, int32_t extra) override {
        got.push_back(Delivery{true, id, 0, 0, data, length, extra});
    }
};

// Every field distinct, so a field taken from the wrong place shows.
ShmMessage Message(uint16_t type, uint32_t length) {
    ShmMessage m;
    m.type = type;
    m.clientId = 0xC1C1C1C1u;
    m.peerId = 0x9E9E0001u;
    m.length = length;
    m.eventCode = 0x0E0E0E0E;
    m.eventParam = -5;
    m.extra = -77;
    return m;
}

std::vector<Delivery> Decode(const ShmMessage& m) {
    Recorder r;
    DecodeRecord(m, r);
    return r.got;
}

}  // namespace

TEST(Decode, EachTypeBecomesItsCall) {
    {
        const ShmMessage m = Message(kMsgEvent, 20);
        const auto got = Decode(m);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_FALSE(got[0].data);
        EXPECT_EQ(got[0].id, m.peerId);
        EXPECT_EQ(got[0].code, m.eventCode);
        EXPECT_EQ(got[0].param, intptr_t(-5)) << "param keeps its sign";
        EXPECT_EQ(got[0].extra, -77);
    }
    {
        const ShmMessage m = Message(kMsgPeerData, 20);
        const auto got = Decode(m);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(got[0].data);
        EXPECT_EQ(got[0].id, m.peerId);
        EXPECT_EQ(got[0].bytes, m.payload);
        EXPECT_EQ(got[0].length, 20u);
        EXPECT_EQ(got[0].extra, -77);
    }
    const struct {
        uint16_t type;
        int32_t code;
    } notices[] = {{kMsgNoticeA, SERVERLINK_EVENT_NOTICE_A}, {kMsgNoticeB, SERVERLINK_EVENT_NOTICE_B}};
    for (const auto& n : notices) {
        const ShmMessage m = Message(n.type, 20);
        const auto got = Decode(m);
        ASSERT_EQ(got.size(), 1u) << n.type;
        EXPECT_FALSE(got[0].data);
        EXPECT_EQ(got[0].id, m.clientId) << "a notice is for the client id";
        EXPECT_EQ(got[0].code, n.code);
        EXPECT_EQ(got[0].param, reinterpret_cast<intptr_t>(m.payload));
        EXPECT_EQ(got[0].extra, 20);
    }
    EXPECT_EQ(SERVERLINK_EVENT_NOTICE_A, 8);
    EXPECT_EQ(SERVERLINK_EVENT_NOTICE_B, 9);
}

TEST(Decode, EventsPassUnfiltered) {
    // Dropping, pausing and descrambling belong to the event handling: the
    // decoder hands every code on as it came.
    for (int32_t code : {3, 5, 10, 11, int32_t(SERVERLINK_EVENT_PAUSE), int32_t(SERVERLINK_EVENT_RESUME), -1}) {
        ShmMessage m = Message(kMsgEvent, 0);
        m.eventCode = code;
        m.eventParam = 1;
        const auto got = Decode(m);
        ASSERT_EQ(got.size(), 1u) << code;
        EXPECT_EQ(got[0].code, code);
        EXPECT_EQ(got[0].param, 1);
    }
}

TEST(Decode, LengthIsCutToThePayload) {
    const uint32_t lengths[] = {0, 1, 1279, 1280, 1281, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    for (uint16_t type : {kMsgPeerData, kMsgNoticeA, kMsgNoticeB}) {
        for (uint32_t length : lengths) {
            SCOPED_TRACE(testing::Message() << "type " << type << " length " << length);
            const ShmMessage m = Message(type, length);
            const auto got = Decode(m);
            ASSERT_EQ(got.size(), 1u);
            const uint32_t want = length > 1280 ? 1280 : length;
            if (type == kMsgPeerData) {
                EXPECT_EQ(got[0].length, want);
                EXPECT_EQ(got[0].bytes, m.payload);
            } else {
                EXPECT_EQ(got[0].extra, int32_t(want));
                EXPECT_EQ(got[0].param, reinterpret_cast<intptr_t>(m.payload));
            }
        }
    }
    // Events carry no payload: their length is not looked at.
    const auto got = Decode(Message(kMsgEvent, 0xFFFFFFFFu));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].extra, -77);
}

TEST(Decode, OtherTypesAreIgnored) {
    for (uint32_t type = 0; type <= 0xFFFF; ++type) {
        if (type >= 7 && type <= 10) continue;
        ASSERT_TRUE(Decode(Message(uint16_t(type), 20)).empty()) << type;
    }
}
