// Sign-on and sign-off end to end: the real DLL in this process, the reference
// local server in its own, the two shared-memory rings between them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "child_process.h"
#include "common/handle.h"
#include "link_helpers.h"
#include "shm/shm_queue.h"
#include "sinks.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Fills every byte of a sign-on record with a pattern of its own.
TestRecord PatternRecord(BYTE version, ULONG clientId, IEventSink* sink) {
    TestRecord r;
    BYTE* b = reinterpret_cast<BYTE*>(static_cast<SignOnRecord*>(&r));
    for (size_t i = 0; i < sizeof(SignOnRecord); ++i) b[i] = BYTE(i * 13 + 5);
    r.version = version;
    r.clientId = clientId;
    r.dword405 = 128;
    r.dword537 = 7;
    SetSink(r, sink);
    return r;
}

std::vector<BYTE> Unhex(const std::string& s) {
    std::vector<BYTE> out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(BYTE(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}

// The login record the server must have received: written out here from the
// record formats, independently of the DLL's own structures.
std::vector<BYTE> ExpectedLogin(const SignOnRecord& r, uint16_t channel) {
    const BYTE* s = reinterpret_cast<const BYTE*>(&r);
    const bool shortForm = r.version <= 1;
    std::vector<BYTE> l(933, 0);
    struct Field {
        size_t to, from, width;
        bool longOnly;
    };
    const Field fields[] = {{0, 0, 11, false},     {17, 17, 526, false},  {543, 812, 1, true}, {544, 813, 128, true},
                            {672, 941, 2, true},   {674, 543, 1, false},  {675, 544, 128, false},
                            {803, 672, 2, false},  {805, 674, 64, false}, {869, 738, 64, false}};
    for (const Field& f : fields)
        if (!(f.longOnly && shortForm)) std::memcpy(&l[f.to], s + f.from, f.width);
    l[11] = 127, l[12] = 0, l[13] = 0, l[14] = 1;
    l[15] = BYTE(channel & 0xFF), l[16] = BYTE(channel >> 8);
    return l;
}

HRESULT DllCanUnloadNowInProcess() {
    HMODULE dll = GetModuleHandleW(L"serverlink.dll");
    if (dll == nullptr) return S_OK;
    auto fn = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
    return fn();
}

class SignOn : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.ok());
        ASSERT_EQ(CreateLink(&link), S_OK);
        clientId = UniqueNumber();
    }
    void TearDown() override {
        if (link != nullptr) {
            link->SignOff();
            EXPECT_EQ(link->Release(), 0u);
        }
        EXPECT_TRUE(WaitFor([] { return DllCanUnloadNowInProcess() == S_OK; })) << "receive thread kept running";
    }

    // Lines of the server log that start with `op `.
    std::vector<std::string> Calls(const std::string& op) {
        std::vector<std::string> out;
        for (const auto& line : server.Log())
            if (line.compare(0, op.size() + 1, op + " ") == 0 || line == op) out.push_back(line);
        return out;
    }

    // The channel the server saw in the login record.
    uint16_t LoggedChannel() {
        auto logins = Calls("Login");
        if (logins.empty()) return 0;
        auto bytes = Unhex(logins.back().substr(7, 1866));
        return bytes.size() == 933 ? uint16_t(bytes[15] | (bytes[16] << 8)) : 0;
    }

    HRESULT Inject(ULONG forClient, LONG type, LONG msgClientId, LONG peerId, LONG length, LONG code, LONG param,
                   LONG extra, const std::vector<BYTE>& payload = {}) {
        return server.Inject(forClient, type, msgClientId, peerId, length, code, param, extra, payload);
    }
    HRESULT Event(ULONG peer, LONG code, LONG param = 0, LONG extra = 0) {
        return Inject(clientId, 7, 0, LONG(peer), 0, code, param, extra);
    }

    ComScope com;
    RefServer server;
    IServerLink* link = nullptr;
    ULONG clientId = 0;
    RecordingSink sink;
};

}  // namespace

TEST_F(SignOn, LoginRecordArrivesByteForByteInBothForms) {
    for (BYTE version : {BYTE(0), BYTE(1), BYTE(2), BYTE(255)}) {
        server.ClearLog();
        TestRecord rec = PatternRecord(version, clientId, nullptr);
        ASSERT_EQ(ClientSignOn(link, rec), S_OK) << int(version);
        auto logins = Calls("Login");
        ASSERT_EQ(logins.size(), 1u);
        const std::string& line = logins[0];
        ASSERT_EQ(line.size(), 7u + 1866u + 1u);
        const uint16_t channel = LoggedChannel();
        EXPECT_EQ(Unhex(line.substr(7, 1866)), ExpectedLogin(rec, channel)) << "version " << int(version);
        ASSERT_EQ(link->SignOff(), S_OK);
    }
}

TEST_F(SignOn, ProposalIsTickBasedAndTheLeftChannelNamesTheRings) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    auto negotiations = Calls("NegotiateChannel");
    ASSERT_EQ(negotiations.size(), 1u);
    const long proposal = std::stol(negotiations[0].substr(std::string("NegotiateChannel 0 ").size()));
    EXPECT_GE(proposal, 500);
    EXPECT_LE(proposal, 1499);
    const uint16_t channel = LoggedChannel();
    EXPECT_TRUE(SectionExists(channel));
    EXPECT_TRUE(SectionExists(channel + 1u));
    ASSERT_EQ(link->SignOff(), S_OK);
    auto logouts = Calls("Logout");
    ASSERT_EQ(logouts.size(), 1u);
    EXPECT_EQ(logouts[0], "Logout " + std::to_string(LONG(clientId)) + " " + std::to_string(LONG(rec.dword11)) + " " +
                              std::to_string(channel));
}

TEST_F(SignOn, ChannelIsTheLow16BitsOfWhatTheServerLeaves) {
    const struct {
        LONG left;
        uint32_t out, in;
    } rows[] = {{70000, 4464, 4465}, {65535, 65535, 65536}};
    for (const auto& row : rows) {
        server.ClearLog();
        server.SetChannel(row.left);
        TestRecord rec = PatternRecord(2, clientId, nullptr);
        ASSERT_EQ(ClientSignOn(link, rec), S_OK);
        EXPECT_EQ(LoggedChannel(), uint16_t(row.out));
        EXPECT_TRUE(SectionExists(row.out));
        EXPECT_TRUE(SectionExists(row.in));
        EXPECT_FALSE(row.in == 65536 && SectionExists(0)) << "ring number wrapped to 0";
        ASSERT_EQ(link->SignOff(), S_OK);
        EXPECT_EQ(Calls("Logout").back(), "Logout " + std::to_string(LONG(clientId)) + " " +
                                              std::to_string(LONG(rec.dword11)) + " " + std::to_string(row.out));
    }
}

TEST_F(SignOn, EventsDataAndNoticesReachTheSinks) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    ASSERT_EQ(Event(17, 42, -5, 0x1234), S_OK);
    ASSERT_EQ(Event(18, 5, 1, 0), S_OK);  // scrambled parameter
    ASSERT_EQ(Inject(clientId, 8, 0, 19, 3, 0, 0, 77, {0xAA, 0xBB, 0xCC}), S_OK);
    ASSERT_EQ(Inject(clientId, 9, 42, 0, 5, 0, 0, 0, {'h', 'e', 'l', 'l', 'o'}), S_OK);
    ASSERT_EQ(Inject(clientId, 10, 43, 0, 2, 0, 0, 0, {'o', 'k'}), S_OK);
    ASSERT_TRUE(sink.WaitCount(5));
    auto calls = sink.Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_FALSE(calls[0].data);
    EXPECT_EQ(calls[0].id, 17u);
    EXPECT_EQ(calls[0].code, 42);
    EXPECT_EQ(calls[0].param, -5);
    EXPECT_EQ(calls[0].extra, 0x1234);
    EXPECT_EQ(calls[1].code, 5);
    EXPECT_EQ(ULONG(calls[1].param), 0xC7618194u);
    EXPECT_TRUE(calls[2].data);
    EXPECT_EQ(calls[2].id, 19u);
    EXPECT_EQ(calls[2].bytes, (std::vector<BYTE>{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(calls[2].extra, 77);
    EXPECT_EQ(calls[3].id, 42u);
    EXPECT_EQ(calls[3].code, 8);
    EXPECT_EQ(calls[3].extra, 5);
    EXPECT_EQ(calls[3].bytes, (std::vector<BYTE>{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(calls[4].id, 43u);
    EXPECT_EQ(calls[4].code, 9);
    EXPECT_EQ(calls[4].bytes, (std::vector<BYTE>{'o', 'k'}));
}

TEST_F(SignOn, KeyedSubscribersHearOnlyTheirId) {
    RecordingSink keyed;
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    ASSERT_EQ(link->AddSubscriber(&keyed, 21), S_OK);
    ASSERT_EQ(Event(20, 1), S_OK);
    ASSERT_EQ(Event(21, 2), S_OK);
    ASSERT_EQ(Event(22, 3), S_OK);  // marker
    ASSERT_TRUE(sink.WaitCode(3));
    ASSERT_EQ(keyed.Count(), 1u);
    EXPECT_EQ(keyed.Calls()[0].id, 21u);
    EXPECT_EQ(link->RemoveSubscriber(&keyed, 21), S_OK);
}

TEST_F(SignOn, PacketsReachTheServer) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    const BYTE a[] = {1, 2, 3};
    std::vector<BYTE> big(1280);
    for (size_t i = 0; i < big.size(); ++i) big[i] = BYTE(i);
    EXPECT_EQ(link->SendData(5, a, 3), S_OK);
    EXPECT_EQ(link->SendData(0xFFFFFFFF, big.data(), 1280), S_OK);
    EXPECT_EQ(link->SendData(6, big.data(), 1281), E_FAIL);
    EXPECT_EQ(link->SendData(6, nullptr, 4), E_FAIL);
    EXPECT_EQ(link->SendData(6, nullptr, 0), S_OK);
    ASSERT_TRUE(WaitFor([&] { return Calls("Data").size() >= 2; }));
    auto data = Calls("Data");
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0], "Data " + std::to_string(LONG(clientId)) + " 5 3 [010203]");
    std::string hex;
    for (BYTE b : big) {
        char h[3];
        std::snprintf(h, sizeof(h), "%02x", b);
        hex += h;
    }
    EXPECT_EQ(data[1], "Data " + std::to_string(LONG(clientId)) + " -1 1280 [" + hex + "]");
}

TEST_F(SignOn, AFullOutgoingRingRefusesDataAndHeartbeat) {
    server.SetReading(false);
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    BYTE b[4] = {};
    for (int i = 0; i < 128; ++i) {
        b[0] = BYTE(i);
        ASSERT_EQ(link->SendData(40, b, 4), S_OK) << i;
    }
    EXPECT_EQ(link->SendData(40, b, 4), E_FAIL);
    EXPECT_EQ(link->SendData(41, b, 1), E_FAIL);
    // A heartbeat falls due more than 7 s after sign-on; it finds no room either.
    Sleep(7600);
    server.SetReading(true);
    ASSERT_TRUE(WaitFor([&] { return Calls("Data").size() >= 128; }));
    auto data = Calls("Data");
    ASSERT_EQ(data.size(), 128u);
    for (int i = 0; i < 128; ++i) {
        char expect[64];
        std::snprintf(expect, sizeof(expect), " 40 4 [%02x000000]", i);
        EXPECT_EQ(data[i], "Data " + std::to_string(LONG(clientId)) + expect);
    }
    EXPECT_TRUE(Calls("Heartbeat").empty());
    EXPECT_EQ(link->SendData(40, b, 4), S_OK);  // room again
}

TEST_F(SignOn, ConcurrentSendersWriteWholeSeparateRecords) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    constexpr int kPerThread = 300;
    auto sender = [&](ULONG peer, ULONG length, BYTE fill) {
        std::vector<BYTE> bytes(length, fill);
        for (int sent = 0; sent < kPerThread;)
            if (link->SendData(peer, bytes.data(), length) == S_OK)
                ++sent;
            else
                Sleep(0);  // ring full for the moment
    };
    std::thread a(sender, 50, 1280, BYTE(0xA1)), b(sender, 51, 3, BYTE(0xB2));
    a.join();
    b.join();
    ASSERT_TRUE(WaitFor([&] { return Calls("Data").size() >= 2 * kPerThread; }));
    const std::string prefix = "Data " + std::to_string(LONG(clientId)) + " ";
    const std::string longLine = prefix + "50 1280 [" + [] {
        std::string h;
        for (int i = 0; i < 1280; ++i) h += "a1";
        return h;
    }() + "]";
    const std::string shortLine = prefix + "51 3 [b2b2b2]";
    int longs = 0, shorts = 0;
    for (const auto& line : Calls("Data")) {
        if (line == longLine)
            ++longs;
        else if (line == shortLine)
            ++shorts;
        else
            ADD_FAILURE() << "torn or mixed record: " << line.substr(0, 80);
    }
    EXPECT_EQ(longs, kPerThread);
    EXPECT_EQ(shorts, kPerThread);
}

TEST_F(SignOn, ServerPauseAndResumeGateSendData) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    const BYTE b[] = {9};
    EXPECT_EQ(link->SendData(30, b, 1), S_OK);  // never heard of: allowed
    ASSERT_EQ(Event(30, SERVERLINK_EVENT_PAUSE), S_OK);
    ASSERT_EQ(Event(31, 99), S_OK);  // a marker: once it arrives, the pause has been applied
    ASSERT_TRUE(sink.WaitCount(1));
    EXPECT_EQ(link->SendData(30, b, 1), E_FAIL);
    EXPECT_EQ(link->SendData(32, b, 1), S_OK);  // other peers unaffected
    ASSERT_EQ(Event(30, SERVERLINK_EVENT_SCRAMBLED, 0, LONG(SERVERLINK_EXTRA_PEER_READY)), S_OK);  // a code-5 "ready" event never unpauses
    ASSERT_EQ(Event(30, SERVERLINK_EVENT_RESUME), S_OK);
    ASSERT_EQ(Event(31, 98), S_OK);
    ASSERT_TRUE(sink.WaitCount(3));
    EXPECT_EQ(link->SendData(30, b, 1), S_OK);
    ASSERT_EQ(Event(30, SERVERLINK_EVENT_PAUSE), S_OK);
    ASSERT_EQ(Event(30, 3), S_OK);  // forgotten: allowed again
    ASSERT_TRUE(sink.WaitCount(4));
    EXPECT_EQ(link->SendData(30, b, 1), S_OK);
    ASSERT_EQ(Event(30, SERVERLINK_EVENT_PAUSE), S_OK);
    ASSERT_EQ(Event(31, 97), S_OK);
    ASSERT_TRUE(sink.WaitCount(5));
    EXPECT_EQ(link->SendData(30, b, 1), E_FAIL);
    EXPECT_EQ(link->ClosePeer(30), S_OK);  // a successful ClosePeer forgets the peer too
    EXPECT_EQ(link->SendData(30, b, 1), S_OK);
    // Pause and resume themselves never reach a sink.
    for (const auto& c : sink.Calls()) {
        EXPECT_NE(c.code, SERVERLINK_EVENT_PAUSE);
        EXPECT_NE(c.code, SERVERLINK_EVENT_RESUME);
    }
}

TEST_F(SignOn, SignOffStopsDeliveryAndCanBeRepeated) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    ASSERT_EQ(Event(1, 1), S_OK);
    ASSERT_TRUE(sink.WaitCount(1));
    const uint16_t channel = LoggedChannel();
    server.ClearLog();
    EXPECT_EQ(link->SignOff(), S_OK);
    EXPECT_EQ(server.Log(), (std::vector<std::string>{
                                "Logout " + std::to_string(LONG(clientId)) + " " + std::to_string(LONG(rec.dword11)) +
                                    " " + std::to_string(channel),
                                "Disconnect"}));
    EXPECT_FALSE(SectionExists(channel));
    EXPECT_FALSE(SectionExists(channel + 1u));
    const BYTE b[] = {1};
    EXPECT_EQ(link->SendData(1, b, 1), E_FAIL);  // no outgoing ring any more
    server.SetAnswer(L"Logout", 12);
    EXPECT_EQ(link->SignOff(), HRESULT(12));  // again: same values, the server's status
    EXPECT_EQ(sink.Count(), 1u);
    // Signing on again works and delivers to the (re-)subscribed sink.
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    ASSERT_EQ(Event(2, 2), S_OK);
    ASSERT_TRUE(sink.WaitCount(2));
}

TEST_F(SignOn, RefusedRecordsChangeNothing) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    server.ClearLog();
    for (DWORD bad : {129u, 0xFFFFFFFFu}) {
        TestRecord refused = PatternRecord(2, clientId + 1, &sink);
        refused.dword537 = bad;
        EXPECT_EQ(link->SignOn(static_cast<const SignOnRecord*>(&refused)), E_FAIL);
        refused.dword537 = 0;
        refused.dword405 = bad;
        EXPECT_EQ(link->SignOn(static_cast<const SignOnRecord*>(&refused)), E_FAIL);
    }
    EXPECT_EQ(link->SignOn(nullptr), E_FAIL);
#ifdef _WIN64
    // Four bytes cannot name a 64-bit sink: a non-zero field is refused in both
    // forms, never turned into a pointer.
    for (BYTE version : {BYTE(1), BYTE(2)}) {
        TestRecord refused = PatternRecord(version, clientId + 1, nullptr);
        refused.eventSink = 0x1000;
        EXPECT_EQ(link->SignOn(static_cast<const SignOnRecord*>(&refused)), E_INVALIDARG);
    }
#endif
    EXPECT_TRUE(server.Log().empty());
    // The earlier sign-on is intact: its ring still delivers, once, to one subscription.
    ASSERT_EQ(Event(3, 3), S_OK);
    ASSERT_EQ(Event(3, 4), S_OK);  // marker
    ASSERT_TRUE(sink.WaitCode(4));
    EXPECT_EQ(sink.CountCode(3), 1u);
    EXPECT_EQ(link->QueryA(), S_OK);
    EXPECT_EQ(Calls("QueryA").back(), "QueryA " + std::to_string(LONG(clientId)));
}

TEST_F(SignOn, RefusedChannelLeavesTheLiveSignOnAlone) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    server.ClearLog();
    server.SetAnswer(L"NegotiateChannel", 5);
    TestRecord other = PatternRecord(2, clientId + 1, nullptr);
    EXPECT_EQ(ClientSignOn(link, other), HRESULT(5));
    EXPECT_EQ(server.Log().size(), 1u);  // NegotiateChannel only
    server.SetAnswer(L"NegotiateChannel", 0);
    ASSERT_EQ(Event(4, 4), S_OK);  // the old ring is still registered and read
    ASSERT_TRUE(sink.WaitCount(1));
    // The object's record is the new one from here on...
    EXPECT_EQ(link->QueryB(), S_OK);
    EXPECT_EQ(Calls("QueryB").back(), "QueryB " + std::to_string(LONG(clientId + 1)));
    // ...but a packet in the old ring carries the clientId that ring was made for.
    const BYTE b[] = {9};
    EXPECT_EQ(link->SendData(7, b, 1), S_OK);
    ASSERT_TRUE(WaitFor([&] { return !Calls("Data").empty(); }));
    EXPECT_EQ(Calls("Data").back(), "Data " + std::to_string(LONG(clientId)) + " 7 1 [09]");
}

TEST_F(SignOn, RingsThatCannotBeMadeFailTheSignOn) {
    // Someone else holds a section too small for a ring under the name the
    // agreed channel gives: first the outgoing ring's, then the incoming one's.
    const uint32_t channel = 20000 + (UniqueNumber() % 20000) * 2;
    TestRecord rec = PatternRecord(2, clientId, &sink);
    server.SetChannel(LONG(channel));
    for (uint32_t squatted : {channel, channel + 1}) {
        const std::string name = "fund_shm_" + std::to_string(squatted);
        HANDLE squat = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
        ASSERT_NE(squat, nullptr);
        server.ClearLog();
        EXPECT_EQ(ClientSignOn(link, rec), E_FAIL) << name;
        EXPECT_TRUE(Calls("Login").empty()) << name;
        CloseHandle(squat);
    }
    server.SetChannel(0);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    ASSERT_EQ(Event(5, 55), S_OK);
    ASSERT_TRUE(sink.WaitCount(1));
}

TEST_F(SignOn, ServerErrorsDuringSignOnBecomeEFail) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    server.SetFailure(L"NegotiateChannel", E_ACCESSDENIED);
    EXPECT_EQ(ClientSignOn(link, rec), E_FAIL);
    EXPECT_TRUE(Calls("Login").empty());
    server.SetFailure(L"NegotiateChannel", S_OK);

    server.SetFailure(L"Login", HRESULT(0x80040777));
    EXPECT_EQ(ClientSignOn(link, rec), E_FAIL);
    server.SetFailure(L"Login", S_OK);
    // The sink was subscribed before the login and stays so; the ring stays registered.
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    ASSERT_EQ(Event(6, 6), S_OK);
    ASSERT_EQ(Event(6, 7), S_OK);  // marker
    ASSERT_TRUE(sink.WaitCode(7));
#ifndef _WIN64
    EXPECT_EQ(sink.CountCode(6), 2u);  // subscribed twice: duplicates are allowed
#else
    EXPECT_EQ(sink.CountCode(6), 3u);  // the client subscribed before each of its three tries
#endif
}

TEST_F(SignOn, RefusedLoginUnregistersAndDisconnects) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    server.SetAnswer(L"Login", 7);
    EXPECT_EQ(ClientSignOn(link, rec), HRESULT(7));
    auto log = server.Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log.back(), "Disconnect");
    const uint16_t refusedChannel = LoggedChannel();
    EXPECT_FALSE(SectionExists(refusedChannel + 1u)) << "incoming ring still registered";
    EXPECT_TRUE(SectionExists(refusedChannel)) << "the outgoing ring stays with the object";

    server.SetAnswer(L"Login", 0);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    ASSERT_EQ(Event(8, 8), S_OK);
    ASSERT_TRUE(sink.WaitCount(2));  // the sink is subscribed twice now
    server.SetAnswer(L"Login", 7);
    server.SetFailure(L"Disconnect", E_UNEXPECTED);
    RecordingSink other;
    TestRecord second = PatternRecord(2, clientId + 7, &other);
    EXPECT_EQ(ClientSignOn(link, second), E_FAIL);
    server.SetFailure(L"Disconnect", S_OK);
}

TEST_F(SignOn, TwoObjectsCannotShareAClientId) {
    IServerLink* second = nullptr;
    ASSERT_EQ(CreateLink(&second), S_OK);
    RecordingSink sink2;
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    TestRecord dup = PatternRecord(2, clientId, &sink2);
    EXPECT_EQ(ClientSignOn(second, dup), E_FAIL);
    // Signing the refused object off does not take the first object's ring.
    second->SignOff();
    EXPECT_EQ(second->Release(), 0u);
    ASSERT_EQ(Event(9, 9), S_OK);
    ASSERT_TRUE(sink.WaitCount(1));
    EXPECT_EQ(sink2.Count(), 0u);
}

TEST_F(SignOn, TwoClientsAreDeliveredIndependently) {
    IServerLink* second = nullptr;
    ASSERT_EQ(CreateLink(&second), S_OK);
    RecordingSink sink2;
    TestRecord a = PatternRecord(2, clientId, &sink);
    TestRecord b = PatternRecord(2, clientId + 1, &sink2);
    ASSERT_EQ(ClientSignOn(link, a), S_OK);
    ASSERT_EQ(ClientSignOn(second, b), S_OK);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(Event(100 + i, 1), S_OK);
        ASSERT_EQ(Inject(clientId + 1, 7, 0, 200 + i, 0, 2, 0, 0), S_OK);
    }
    ASSERT_TRUE(sink.WaitCount(20));
    ASSERT_TRUE(sink2.WaitCount(20));
    auto c1 = sink.Calls(), c2 = sink2.Calls();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(c1[i].id, ULONG(100 + i));
        EXPECT_EQ(c2[i].id, ULONG(200 + i));
    }
    EXPECT_EQ(second->SignOff(), S_OK);
    EXPECT_EQ(second->Release(), 0u);
}

#ifdef SERVERLINK_PEER32
// A 64-bit client (this test) and a 32-bit one (a child process) signed on to the
// one reference server at once, each sending through its ring and hearing its echo.
TEST_F(SignOn, ClientsOfBothBitnessesShareTheServerAtOnce) {
    server.SetEcho(true);
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    const ULONG peerId = clientId + 1;
    const std::wstring name = L"serverlink-peer32-" + std::to_wstring(peerId);
    const serverlink::CHandle up(CreateEventW(nullptr, TRUE, FALSE, (name + L".up").c_str()));
    const serverlink::CHandle done(CreateEventW(nullptr, TRUE, FALSE, (name + L".done").c_str()));
    ASSERT_TRUE(up && done);
    ChildProcess peer(SERVERLINK_PEER32, L"peer " + std::to_wstring(peerId) + L" " + name);
    ASSERT_TRUE(peer.Started());
    const auto isUp = [&] { return WaitForSingleObject(up.Get(), 0) == WAIT_OBJECT_0; };
    ASSERT_TRUE(WaitFor([&] { return isUp() || !peer.Running(); }) && isUp())
        << "exit " << peer.ExitCode() << ": " << peer.Stderr();
    EXPECT_TRUE(server.LogHas("Data " + std::to_string(LONG(peerId)) + " 32 3 [32b175]"));

    // The 32-bit client is still signed on while this one sends and receives.
    const BYTE packet[] = {0x64, 0x00, 0xFF};
    ASSERT_EQ(link->SendData(64, packet, sizeof(packet)), S_OK);
    ASSERT_TRUE(sink.WaitCount(1));
    const auto calls = sink.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].data);
    EXPECT_EQ(calls[0].id, 64u);
    EXPECT_EQ(calls[0].bytes, std::vector<BYTE>(packet, packet + sizeof(packet)));
    EXPECT_TRUE(server.LogHas("Data " + std::to_string(LONG(clientId)) + " 64 3 [6400ff]"));

    SetEvent(done.Get());
    ASSERT_TRUE(peer.Wait(kPatienceMs));
    EXPECT_EQ(peer.ExitCode(), 0u) << peer.Stderr();
    server.SetEcho(false);
}
#endif

TEST_F(SignOn, SigningOnAgainReleasesTheEarlierRings) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    const uint16_t first = LoggedChannel();
    server.ClearLog();
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    const uint16_t second = LoggedChannel();
    ASSERT_NE(first, 0);
    ASSERT_NE(second, 0);
    ASSERT_EQ(Event(10, 20), S_OK);
    ASSERT_EQ(Event(10, 21), S_OK);  // marker
    ASSERT_TRUE(sink.WaitCode(21));
    EXPECT_EQ(sink.CountCode(20), 2u);  // one ring, two subscriptions of the record's sink
    ASSERT_EQ(link->SignOff(), S_OK);
    EXPECT_TRUE(WaitFor([&] { return !SectionExists(first) && !SectionExists(first + 1u); }))
        << "rings of the first sign-on left open";
    EXPECT_FALSE(SectionExists(second));
}

// Calls on other threads read the sign-on whole: while one thread signs on
// again and again with two records that differ in clientId and mode, every
// call the server sees carries one record's pair, never a mix of both.
TEST_F(SignOn, CallsDuringRepeatedSignOnsCarryOneRecordsClientIdAndMode) {
    TestRecord a = PatternRecord(2, UniqueNumber(), nullptr), b = PatternRecord(2, UniqueNumber(), nullptr);
    a.mode = 0x11;
    b.mode = 0x22;
    ASSERT_EQ(ClientSignOn(link, a), S_OK);
    server.ClearLog();
    std::atomic<bool> signing{true};
    std::atomic<int> signedOn{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 100; ++i)
            if (link->SignOn(i % 2 ? &a : &b) == S_OK) ++signedOn;
        signing = false;
    });
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            while (signing) t % 2 ? link->ModeQuery() : link->ModeRequest(t);
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(signedOn.load(), 100);

    // "ModeQuery <clientId> <mode>", "ModeRequest <clientId> <value> <mode>".
    size_t fromA = 0, fromB = 0, mixed = 0;
    std::string firstMix;
    for (const std::string& line : server.Log()) {
        long id = 0, value = 0, mode = 0;
        const bool query = std::sscanf(line.c_str(), "ModeQuery %ld %ld", &id, &mode) == 2;
        if (!query && std::sscanf(line.c_str(), "ModeRequest %ld %ld %ld", &id, &value, &mode) != 3) continue;
        if (id == LONG(a.clientId) && mode == a.mode)
            ++fromA;
        else if (id == LONG(b.clientId) && mode == b.mode)
            ++fromB;
        else if (mixed++ == 0)
            firstMix = line;
    }
    EXPECT_EQ(mixed, 0u) << "first: " << firstMix;
    // Not vacuous: the calls went on while the record changed.
    EXPECT_GT(fromA, 0u);
    EXPECT_GT(fromB, 0u);
}

TEST_F(SignOn, ReleasingASignedOnObjectTakesItsRingsDown) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    const uint16_t channel = LoggedChannel();
    ASSERT_EQ(Event(11, 21), S_OK);
    ASSERT_TRUE(sink.WaitCount(1));
    EXPECT_EQ(DllCanUnloadNowInProcess(), S_FALSE);
    EXPECT_EQ(link->Release(), 0u);
    link = nullptr;
    EXPECT_TRUE(WaitFor([] { return DllCanUnloadNowInProcess() == S_OK; }));
    EXPECT_TRUE(WaitFor([&] { return !SectionExists(channel) && !SectionExists(channel + 1u); }));
    EXPECT_EQ(sink.Count(), 1u);
}

TEST_F(SignOn, ASinkMaySignOffFromItsCallback) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    HRESULT fromCallback = E_PENDING;
    sink.onEvent = [&](const RecordingSink::Call& c) {
        if (c.code == 77) fromCallback = link->SignOff();
    };
    ASSERT_EQ(Event(12, 77), S_OK);
    ASSERT_TRUE(WaitFor([&] { return fromCallback != E_PENDING; }));
    EXPECT_EQ(fromCallback, S_OK);
    const uint16_t channel = LoggedChannel();
    EXPECT_TRUE(WaitFor([&] { return !SectionExists(channel) && !SectionExists(channel + 1u); }));
    sink.onEvent = nullptr;
    // And the object signs on again from the client thread.
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    ASSERT_EQ(Event(13, 13), S_OK);
    ASSERT_TRUE(sink.WaitCount(2));
}

TEST_F(SignOn, HeartbeatAfterSevenSecondsOfSilenceOnly) {
    TestRecord rec = PatternRecord(2, clientId, &sink);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    // Play the server's writer ourselves to keep the incoming ring from ever
    // running dry for 8 s: every pass then reads a message, so no heartbeat.
    serverlink::CShmQueue incoming(uint32_t(LoggedChannel()) + 1u, 128, false);
    sink.onEvent = [](const RecordingSink::Call&) { Sleep(1); };  // drains slower than we refill
    serverlink::ShmMessage msg;
    msg.type = 7;
    msg.peerId = 14;
    msg.eventCode = 1;
    const DWORD start = GetTickCount();
    size_t written = 0;
    while (GetTickCount() - start < 8000) {
        if (incoming.Write(msg))
            ++written;
        else
            Sleep(0);
    }
    // More than 7 s have passed, but no pass was idle yet (the ring is still full).
    EXPECT_TRUE(Calls("Heartbeat").empty());
    ASSERT_TRUE(sink.WaitCount(written));
    sink.onEvent = nullptr;
    // Then silence: a clean heartbeat (type 6, every other field zero) comes.
    EXPECT_TRUE(WaitFor([&] { return !Calls("Heartbeat").empty(); }));
    auto beats = Calls("Heartbeat");
    ASSERT_FALSE(beats.empty());
    EXPECT_EQ(beats[0], "Heartbeat " + std::to_string(LONG(clientId)) + " 1");
}
