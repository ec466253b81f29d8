#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "raw_section.h"
#include "ring_format.h"
#include "shm/shm_queue.h"
#include "test_support.h"

using namespace serverlink;
using namespace testing_support;

namespace {

struct ToolRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::vector<std::string> out;  // stdout lines
    std::string err;
};

// Runs the real ringview.exe to the end.
ToolRun Inspect(const std::wstring& args) {
    ToolRun run;
    ChildProcess tool(BesideExe(L"ringview.exe"), args);
    if (!tool.Started()) {
        run.err = "ringview.exe did not start";
        return run;
    }
    if (!tool.Wait(kPatienceMs)) {  // hang guard only
        run.err = "ringview.exe did not exit";
        return run;
    }
    run.exitCode = tool.ExitCode();
    run.err = tool.Stderr();
    const std::string text = tool.Stdout();
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        run.out.push_back(text.substr(start, nl - start));
    if (start < text.size()) run.out.push_back(text.substr(start));
    return run;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    return all;
}

// The one line starting with `prefix`, or "" when there is none.
std::string LineStarting(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const auto& l : lines)
        if (l.compare(0, prefix.size(), prefix) == 0) return l;
    return "";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

ShmMessage Message(uint16_t type, uint32_t client, uint32_t peer, uint32_t length) {
    ShmMessage m;
    m.type = type;
    m.clientId = client;
    m.peerId = peer;
    m.length = length;
    for (uint32_t i = 0; i < kMaxPayload; ++i) m.payload[i] = uint8_t(i);
    return m;
}

}  // namespace

TEST(RingView, ReportsIndexesOccupiedSlotsAndFieldsWithoutChangingTheRing) {
    const uint32_t n = FreshRingNumber();
    CShmQueue q(n, 128, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());
    ShmMessage out;
    ASSERT_TRUE(q.Write(Message(kMsgData, 1001, 5, 4)));  // slot 0, read below
    ASSERT_TRUE(q.Read(out));
    ASSERT_TRUE(q.Write(Message(kMsgData, 1001, 42, 20)));  // slot 1
    ShmMessage event = Message(kMsgEvent, 1001, 42, 0);
    event.eventCode = 5;
    event.eventParam = -1;
    event.extra = 0x100;
    ASSERT_TRUE(q.Write(event));  // slot 2
    ShmMessage heartbeat;
    heartbeat.type = kMsgHeartbeat;
    ASSERT_TRUE(q.Write(heartbeat));  // slot 3
    const std::vector<uint8_t> before = raw.Snapshot();

    const ToolRun run = Inspect(std::to_wstring(n));  // slot count defaults to 128
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.err, "");
    const std::string all = Joined(run.out);
    EXPECT_EQ(LineStarting(run.out, "ring "), "ring fund_shm_" + std::to_string(n)) << all;
    EXPECT_TRUE(Contains(LineStarting(run.out, "section "), "; 128 slots use 167944")) << all;
    EXPECT_EQ(LineStarting(run.out, "writeIndex "), "writeIndex 4 (in range)") << all;
    EXPECT_EQ(LineStarting(run.out, "readIndex "), "readIndex 1 (in range)") << all;
    EXPECT_EQ(LineStarting(run.out, "occupied "), "occupied 3 of 128: 1 2 3") << all;
    EXPECT_EQ(LineStarting(run.out, "slot 0:"), "") << "slot 0 was read already\n" << all;
    EXPECT_EQ(LineStarting(run.out, "slot 1:"),
              "slot 1: data(4) clientId 1001 peerId 42 length 20 eventCode 0x00000000 eventParam 0x00000000 "
              "extra 0x00000000 payload 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f ...")
        << all;
    EXPECT_EQ(LineStarting(run.out, "slot 2:"),
              "slot 2: event(7) clientId 1001 peerId 42 length 0 eventCode 0x00000005 eventParam 0xffffffff "
              "extra 0x00000100 payload (none)")
        << all;
    EXPECT_EQ(LineStarting(run.out, "slot 3:"),
              "slot 3: heartbeat(6) clientId 0 peerId 0 length 0 eventCode 0x00000000 eventParam 0x00000000 "
              "extra 0x00000000 payload (none)")
        << all;
    EXPECT_TRUE(raw.Snapshot() == before) << "the inspector changed the ring";

    // The ring still works as before: the inspector consumed nothing.
    ASSERT_TRUE(q.Read(out));
    EXPECT_EQ(out.peerId, 42u);
    EXPECT_EQ(out.length, 20u);
}

TEST(RingView, FlagsOutOfRangeIndexesLongLengthsOddStatesAndNamesTypes) {
    const uint32_t n = FreshRingNumber();
    CShmQueue q(n, 8, true);
    RawSection raw(n);
    ASSERT_TRUE(raw.Ok());
    // Another party's view of the ring: messages placed and indexes set directly.
    auto place = [&](size_t slot, uint16_t type, uint32_t length, uint8_t state) {
        ShmMessage m = Message(type, 7, uint32_t(slot), length);
        std::memcpy(raw.Bytes() + BlockSlotAt(slot), &m, sizeof(m));
        raw.Bytes()[BlockSlotAt(slot) + kBlockStateAt] = state;
    };
    place(0, kMsgNoticeB, 1, 0);
    place(1, kMsgPeerData, 16, 0);
    place(5, 42, 5000, 0);
    place(6, kMsgNoticeA, 3, 0);
    place(7, kMsgData, 2, 7);  // neither 0 nor 1: the ring takes it as free
    raw.Set32(kBlockWriteIndexAt, 8);
    raw.Set32(kBlockReadIndexAt, -1);
    const std::vector<uint8_t> before = raw.Snapshot();

    const ToolRun run = Inspect(std::to_wstring(n) + L" 8");
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    const std::string all = Joined(run.out);
    EXPECT_EQ(LineStarting(run.out, "writeIndex "), "writeIndex 8 (OUT OF RANGE 0..7)") << all;
    EXPECT_EQ(LineStarting(run.out, "readIndex "), "readIndex -1 (OUT OF RANGE 0..7)") << all;
    EXPECT_EQ(LineStarting(run.out, "occupied "), "occupied 4 of 8: 0 1 5 6") << all;
    EXPECT_EQ(LineStarting(run.out, "free slots with a state byte other than 1:"),
              "free slots with a state byte other than 1: 7=0x07")
        << all;
    EXPECT_TRUE(Contains(LineStarting(run.out, "slot 0:"), "notice B(10) clientId 7 peerId 0 length 1 ")) << all;
    EXPECT_TRUE(Contains(LineStarting(run.out, "slot 0:"), "payload 00")) << all;
    EXPECT_TRUE(Contains(LineStarting(run.out, "slot 1:"), "peer data(8) ")) << all;
    EXPECT_TRUE(Contains(LineStarting(run.out, "slot 1:"), "payload 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f"))
        << all;
    EXPECT_FALSE(Contains(LineStarting(run.out, "slot 1:"), "...")) << "16 bytes is the whole payload\n" << all;
    EXPECT_TRUE(Contains(LineStarting(run.out, "slot 5:"), "unknown(42) ")) << all;
    EXPECT_TRUE(Contains(LineStarting(run.out, "slot 5:"), "length 5000 (OVER 1280)")) << all;
    EXPECT_TRUE(Contains(LineStarting(run.out, "slot 5:"), "0e 0f ...")) << all;
    EXPECT_TRUE(Contains(LineStarting(run.out, "slot 6:"), "notice A(9) ")) << all;
    EXPECT_TRUE(Contains(LineStarting(run.out, "slot 6:"), "payload 00 01 02")) << all;
    EXPECT_FALSE(Contains(LineStarting(run.out, "slot 6:"), "payload 00 01 02 03")) << all;
    EXPECT_EQ(LineStarting(run.out, "slot 7:"), "") << all;
    EXPECT_TRUE(raw.Snapshot() == before) << "the inspector changed the ring";
}

TEST(RingView, MissingRingIsAnError) {
    const uint32_t n = FreshRingNumber();
    const ToolRun run = Inspect(std::to_wstring(n));
    EXPECT_NE(run.exitCode, 0u);
    EXPECT_NE(run.exitCode, 0xFFFFFFFFu) << run.err;
    EXPECT_TRUE(Contains(run.err, "ring fund_shm_" + std::to_string(n) + " does not exist")) << run.err;
    EXPECT_TRUE(run.out.empty()) << Joined(run.out);
    RawSection raw(n);
    EXPECT_FALSE(raw.Ok()) << "the inspector created the ring";
}

TEST(RingView, SectionSmallerThanSlotCountIsAnError) {
    const uint32_t n = FreshRingNumber();
    RawSection small(n, 4096);
    ASSERT_TRUE(small.Ok());
    for (size_t i = 0; i < small.Size(); ++i) small.Bytes()[i] = uint8_t(i * 31);
    const std::vector<uint8_t> before = small.Snapshot();
    ToolRun run = Inspect(std::to_wstring(n));
    EXPECT_NE(run.exitCode, 0u);
    EXPECT_NE(run.exitCode, 0xFFFFFFFFu) << run.err;
    EXPECT_TRUE(Contains(run.err, "fund_shm_" + std::to_string(n) + " is 4096 bytes, smaller than the 167944 bytes"))
        << run.err;
    EXPECT_TRUE(run.out.empty()) << Joined(run.out);
    EXPECT_TRUE(small.Snapshot() == before);

    // A real ring of 8 slots is too small for 64 and right for 8.
    const uint32_t m = FreshRingNumber();
    CShmQueue ring(m, 8, true);
    run = Inspect(std::to_wstring(m) + L" 64");
    EXPECT_NE(run.exitCode, 0u);
    EXPECT_TRUE(Contains(run.err, "smaller than the " + std::to_string(RingSectionSize(64)) + " bytes")) << run.err;
    run = Inspect(std::to_wstring(m) + L" 8");
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(LineStarting(run.out, "occupied "), "occupied 0 of 8") << Joined(run.out);
}

TEST(RingView, BadArgumentsPrintUsage) {
    for (const wchar_t* args : {L"", L"abc", L"-5", L"4294967296", L"12 0", L"12 -1", L"12 x", L"1 2 3"}) {
        const ToolRun run = Inspect(args);
        EXPECT_EQ(run.exitCode, 2u) << "args '" << std::string(args, args + wcslen(args)) << "': " << run.err;
        EXPECT_TRUE(Contains(run.err, "usage: ringview <ring number> [slot count")) << run.err;
        EXPECT_TRUE(run.out.empty());
    }
}

// The payload column, straight from the decoder: at most 16 bytes, never more
// than the length says nor past the 1280-byte payload.
TEST(RingViewFormat, PayloadBytesBoundedBy16AndLength) {
    std::vector<uint8_t> bytes(size_t(RingSectionSize(1)), 0);
    auto payloadOf = [&](uint32_t length) {
        ShmMessage m = Message(kMsgData, 1, 2, length);
        std::memcpy(&bytes[BlockSlotAt(0)], &m, sizeof(m));
        bytes[BlockSlotAt(0) + kBlockStateAt] = 0;
        const std::string text = ringview::Describe("r", 1, bytes.size(), bytes);
        const size_t at = text.find("payload");
        return at == std::string::npos ? std::string("<no payload>") : text.substr(at, text.find('\n', at) - at);
    };
    EXPECT_EQ(payloadOf(0), "payload (none)");
    EXPECT_EQ(payloadOf(1), "payload 00");
    EXPECT_EQ(payloadOf(15), "payload 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e");
    EXPECT_EQ(payloadOf(16), "payload 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f");
    EXPECT_EQ(payloadOf(17), "payload 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f ...");
    EXPECT_EQ(payloadOf(0xFFFFFFFFu), "payload 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f ...");
    // A copy shorter than the slot count implies is not decoded.
    bytes.resize(bytes.size() - 1);
    EXPECT_EQ(payloadOf(1), "<no payload>");
}
