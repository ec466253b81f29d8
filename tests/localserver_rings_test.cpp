// The reference server's ring side, driven the way the DLL drives it: this test
// plays the client with the real ring classes (creates both rings, negotiates,
// logs in with a real login record) against the real server process, and reads
// back through the control what the server's poll thread saw and wrote.
#include <gtest/gtest.h>
#include <ole2.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "checked_packet.h"
#include "events/descramble.h"
#include "link/records.h"
#include "link_helpers.h"
#include "localserver.h"
#include "shm/shm_queue.h"
#include "raw_section.h"
#include "test_support.h"
#include "serverlink_codes.h"

using namespace testing_support;
using serverlink::CShmMapping;
using serverlink::CShmQueue;
using serverlink::LoginRecord;
using serverlink::ShmMessage;

namespace {

constexpr int32_t kSlots = 128;
constexpr int32_t kCodePause = SERVERLINK_EVENT_PAUSE;
constexpr int32_t kCodeResume = SERVERLINK_EVENT_RESUME;
constexpr int32_t kPeerReady = int32_t(SERVERLINK_EXTRA_PEER_READY);

// Somewhere in the channel range, different for each test process.
LONG Proposal() { return LONG(2000 + (UniqueNumber() % 20000) * 3); }

std::string Hex(const uint8_t* p, size_t n) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kHex[p[i] >> 4];
        s += kHex[p[i] & 15];
    }
    return s;
}

std::string Hex(uint8_t b) { return Hex(&b, 1); }

bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// Reads one record, waiting for the other process to write it.
bool ReadSoon(CShmQueue& ring, ShmMessage& msg) {
    return WaitFor([&] { return ring.Read(msg); });
}

// A login record as the DLL builds it, as the byte array Login takes.
class LoginVariant {
public:
    LoginVariant(uint32_t clientId, uint16_t channelId, size_t size = sizeof(LoginRecord)) {
        LoginRecord login;
        std::memset(&login, 0, sizeof(login));
        login.version = 2;
        login.clientId = clientId;
        login.channelId = channelId;
        login.dword5 = 0x11223344;
        VariantInit(&m_v);
        SAFEARRAY* sa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
        void* data = nullptr;
        if (sa && SUCCEEDED(SafeArrayAccessData(sa, &data))) {
            std::memcpy(data, &login, size < sizeof(login) ? size : sizeof(login));
            SafeArrayUnaccessData(sa);
        }
        V_VT(&m_v) = VT_ARRAY | VT_UI1;
        V_ARRAY(&m_v) = sa;
    }
    ~LoginVariant() { VariantClear(&m_v); }
    LoginVariant(const LoginVariant&) = delete;
    LoginVariant& operator=(const LoginVariant&) = delete;
    const VARIANT& get() const { return m_v; }

private:
    VARIANT m_v;
};

// One LocalServer object in the server process, activated as the DLL does.
class ServerObject {
public:
    ServerObject() {
        if (FAILED(CoCreateInstance(CLSID_LocalServer, nullptr, CLSCTX_LOCAL_SERVER, IID_ILocalServer,
                                    reinterpret_cast<void**>(&m_p))))
            m_p = nullptr;
        if (m_p && FAILED(OleRun(m_p))) Release();
    }
    ~ServerObject() { Release(); }
    ServerObject(const ServerObject&) = delete;
    ServerObject& operator=(const ServerObject&) = delete;

    bool ok() const { return m_p != nullptr; }
    ILocalServer* operator->() const { return m_p; }
    void Release() {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }

    // The channel the server hands back for this proposal (-1 if the call failed).
    LONG Negotiate(LONG proposal, LONG* status = nullptr) {
        LONG s = -1;
        if (FAILED(m_p->NegotiateChannel(0, &proposal, &s))) return -1;
        if (status) *status = s;
        return proposal;
    }
    LONG Login(uint32_t clientId, uint16_t channelId) {
        LoginVariant record(clientId, channelId);
        LONG status = -1;
        return SUCCEEDED(m_p->Login(record.get(), &status)) ? status : -1;
    }
    LONG Disconnect() {
        LONG result = -1;
        return SUCCEEDED(m_p->Disconnect(&result)) ? result : -1;
    }

private:
    ILocalServer* m_p = nullptr;
};

// The client's side of one sign-on: negotiate, create both rings, log in.
struct Client {
    uint32_t clientId = UniqueNumber();
    uint16_t channel = 0;
    std::unique_ptr<CShmQueue> out;  // this side writes, the server reads
    std::unique_ptr<CShmQueue> in;   // the server writes, this side reads

    // Negotiates and creates both rings, as the DLL does before Login.
    bool Prepare(ServerObject& server, LONG proposal) {
        LONG status = -1;
        const LONG negotiated = server.Negotiate(proposal, &status);
        if (status != 0 || negotiated <= 0 || negotiated > 65535) return false;
        channel = static_cast<uint16_t>(negotiated);
        out = std::make_unique<CShmQueue>(channel, kSlots, true);
        in = std::make_unique<CShmQueue>(uint32_t(channel) + 1u, kSlots, true);
        return true;
    }
    bool SignOn(ServerObject& server, LONG proposal = Proposal()) {
        return Prepare(server, proposal) && server.Login(clientId, channel) == 0;
    }
    LONG Id() const { return static_cast<LONG>(clientId); }
    std::string IdText() const { return std::to_string(Id()); }
};

ShmMessage DataRecord(uint32_t clientId, uint32_t peer, std::vector<uint8_t> payload) {
    ShmMessage m;
    m.type = serverlink::kMsgData;
    m.clientId = clientId;
    m.peerId = peer;
    m.length = static_cast<uint32_t>(payload.size());
    std::memcpy(m.payload, payload.data(), payload.size());
    return m;
}

ShmMessage Heartbeat() {
    ShmMessage m;
    m.type = serverlink::kMsgHeartbeat;
    return m;
}

class Rings : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(control.ok()) << "reference server not reachable";
        ASSERT_TRUE(server.ok());
        baseline = control.RingClients();
        ASSERT_GE(baseline, 0);
    }
    void TearDown() override { control.SetEcho(false); }

    // The log lines the server wrote from the rings, in order, once `last`
    // is among them (or after the patience has run out).
    std::vector<std::string> RingLinesUpTo(const std::string& last) {
        std::vector<std::string> lines;
        WaitFor([&] {
            lines = control.Log();
            for (const auto& l : lines)
                if (l == last) return true;
            return false;
        });
        std::vector<std::string> ring;
        for (auto& l : lines) {
            const std::string op = l.substr(0, l.find(' '));
            if (op == "Data" || op == "BadData" || op == "Heartbeat" || op == "Unknown" || op == "EchoDropped")
                ring.push_back(l);
        }
        return ring;
    }

    ComScope com;
    RefServer control;
    ServerObject server;
    LONG baseline = -1;
};

TEST_F(Rings, OutgoingRecordsAreLoggedInOrderAsTheyAreRead) {
    Client client;
    ASSERT_TRUE(client.SignOn(server));
    control.ClearLog();

    std::vector<uint8_t> full(1280);
    for (size_t i = 0; i < full.size(); ++i) full[i] = uint8_t(i * 7 + 3);

    ShmMessage paddingOnly = Heartbeat();
    paddingOnly.padding[0] = 0xAA;
    paddingOnly.padding[1] = 0x55;
    ShmMessage dirtyExtra = Heartbeat();
    dirtyExtra.extra = 1;
    ShmMessage dirtyPayloadEnd = Heartbeat();
    dirtyPayloadEnd.payload[1279] = 0x80;
    ShmMessage dirtyClient = Heartbeat();
    dirtyClient.clientId = client.clientId;
    ShmMessage tooLong = DataRecord(5, 6, {1, 2, 3});
    tooLong.length = 1281;
    ShmMessage huge = DataRecord(5, 6, {1});
    huge.length = 0xFFFFFFFFu;
    ShmMessage unknown;
    unknown.type = 99;
    unknown.length = 4;
    ShmMessage negativeIds = DataRecord(0xFFFFFFFEu, 0x80000000u, {0xff});

    const ShmMessage records[] = {
        DataRecord(client.clientId, 77, {0x01, 0x02, 0x03, 0xab, 0xff}),
        Heartbeat(),
        paddingOnly,
        dirtyExtra,
        dirtyPayloadEnd,
        dirtyClient,
        tooLong,
        huge,
        unknown,
        DataRecord(424242, 9, full),
        negativeIds,
        DataRecord(client.clientId, 1, {}),
    };
    for (const ShmMessage& m : records) ASSERT_TRUE(client.out->Write(m));

    const std::string id = client.IdText();
    const std::vector<std::string> expected = {
        "Data " + id + " 77 5 [010203abff]",
        "Heartbeat " + id + " 1",
        "Heartbeat " + id + " 1",  // the padding bytes do not count
        "Heartbeat " + id + " 0",
        "Heartbeat " + id + " 0",
        "Heartbeat " + id + " 0",
        "BadData 1281",
        "BadData 4294967295",
        "Unknown 99",
        "Data 424242 9 1280 [" + Hex(full.data(), full.size()) + "]",
        "Data -2 -2147483648 1 [ff]",
        "Data " + id + " 1 0 []",
    };
    EXPECT_EQ(RingLinesUpTo(expected.back()), expected);
}

TEST_F(Rings, EachClientsRingIsReadAndAttributedToItsOwnLogin) {
    ServerObject second;
    ASSERT_TRUE(second.ok());
    Client a, b;
    ASSERT_TRUE(a.SignOn(server));
    ASSERT_TRUE(b.SignOn(second));
    ASSERT_NE(a.channel, b.channel);
    EXPECT_EQ(control.RingClients(), baseline + 2);
    control.ClearLog();

    // More records than one pass reads from a ring: every one arrives, in order per ring.
    constexpr int kEach = 40;
    for (int i = 0; i < kEach; ++i) {
        ASSERT_TRUE(a.out->Write(DataRecord(a.clientId, uint32_t(i), {uint8_t(i)})));
        ASSERT_TRUE(b.out->Write(i % 2 ? Heartbeat() : DataRecord(b.clientId, uint32_t(i), {uint8_t(i)})));
    }
    RingLinesUpTo("Data " + a.IdText() + " 39 1 [27]");
    const std::vector<std::string> all = RingLinesUpTo("Heartbeat " + b.IdText() + " 1");
    std::vector<std::string> fromA, fromB;
    for (const auto& l : all) {
        if (l.rfind("Data " + a.IdText() + " ", 0) == 0) fromA.push_back(l);
        if (l.rfind("Data " + b.IdText() + " ", 0) == 0 || l.rfind("Heartbeat " + b.IdText() + " ", 0) == 0)
            fromB.push_back(l);
    }
    EXPECT_EQ(all.size(), size_t(2 * kEach));
    ASSERT_EQ(fromA.size(), size_t(kEach));
    ASSERT_EQ(fromB.size(), size_t(kEach));
    for (int i = 0; i < kEach; ++i) {
        const std::string tail = " " + std::to_string(i) + " 1 [" + Hex(uint8_t(i)) + "]";
        EXPECT_EQ(fromA[i], "Data " + a.IdText() + tail);
        EXPECT_EQ(fromB[i], i % 2 ? "Heartbeat " + b.IdText() + " 1" : "Data " + b.IdText() + tail);
    }
}

TEST_F(Rings, InjectWritesExactlyTheGivenFields) {
    Client client;
    ASSERT_TRUE(client.SignOn(server));

    LONG written = -1;
    // length disagrees with the payload on purpose.
    ASSERT_EQ(control.Inject(client.Id(), 8, -5, 0x7FFFFFFF, 5000, kCodePause, -123, kPeerReady, {0xde, 0xad, 0xbe},
                             &written),
              S_OK);
    EXPECT_EQ(written, 1);

    ShmMessage got;
    ASSERT_TRUE(client.in->Read(got));  // written before the call returned
    EXPECT_EQ(got.type, 8);
    EXPECT_EQ(got.padding[0], 0);
    EXPECT_EQ(got.padding[1], 0);
    EXPECT_EQ(got.clientId, 0xFFFFFFFBu);
    EXPECT_EQ(got.peerId, 0x7FFFFFFFu);
    EXPECT_EQ(got.length, 5000u);
    EXPECT_EQ(Hex(got.payload, 3), "deadbe");
    EXPECT_TRUE(AllZero(got.payload + 3, sizeof(got.payload) - 3));
    EXPECT_EQ(got.eventCode, kCodePause);
    EXPECT_EQ(got.eventParam, -123);
    EXPECT_EQ(got.extra, kPeerReady);

    // More payload than a record holds: the first 1280 bytes go.
    std::vector<BYTE> big(1500);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i % 251 + 1);
    ASSERT_EQ(control.Inject(client.Id(), 9, 0, 0, 1500, 0, 0, 0, big, &written), S_OK);
    ASSERT_TRUE(client.in->Read(got));
    EXPECT_EQ(got.type, 9);
    EXPECT_EQ(got.length, 1500u);
    EXPECT_EQ(std::memcmp(got.payload, big.data(), 1280), 0);

    // No payload: a cleared one, and a type that fits only 16 bits keeps its low bits.
    ASSERT_EQ(control.Inject(client.Id(), 0x10007, 0, 3, 0, 0, 0, 0, {}, &written), S_OK);
    ASSERT_TRUE(client.in->Read(got));
    EXPECT_EQ(got.type, 7);
    EXPECT_EQ(got.peerId, 3u);
    EXPECT_EQ(got.length, 0u);
    EXPECT_TRUE(AllZero(got.payload, sizeof(got.payload)));

    // A full ring refuses without failing the call, and takes again once read.
    for (int i = 0; i < kSlots; ++i) {
        ASSERT_EQ(control.Inject(client.Id(), 7, 0, i, 0, 0, 0, 0, {}, &written), S_OK);
        ASSERT_EQ(written, 1) << i;
    }
    ASSERT_EQ(control.Inject(client.Id(), 7, 0, 0, 0, 0, 0, 0, {}, &written), S_OK);
    EXPECT_EQ(written, 0);
    ASSERT_TRUE(client.in->Read(got));
    EXPECT_EQ(got.peerId, 0u);
    ASSERT_EQ(control.Inject(client.Id(), 7, 0, 0, 0, 0, 0, 0, {}, &written), S_OK);
    EXPECT_EQ(written, 1);

    // Nobody signed on under this id.
    EXPECT_EQ(control.Inject(client.Id() + 1, 7, 0, 0, 0, 0, 0, 0, {}, &written), E_INVALIDARG);
    EXPECT_EQ(written, -1);
}

// Counting and checking modes drain without formatting anything: counts, bad
// packets and per-sender order in the report, no "Data" lines in the log.
TEST_F(Rings, DrainModesCountAndCheckPacketsWithoutLoggingThem) {
    Client client;
    ASSERT_TRUE(client.SignOn(server));
    ASSERT_EQ(control.SetDrainMode(2), S_OK);
    control.ClearLog();
    auto checked = [&](uint32_t sender, uint32_t seq, uint32_t length) {
        std::vector<uint8_t> bytes(length);
        checked_packet::Make(sender, seq, bytes.data(), length);
        return DataRecord(client.clientId, 9, bytes);
    };
    ShmMessage corrupt = checked(1, 3, 50);
    corrupt.payload[40] ^= 1;
    for (const ShmMessage& m : {checked(1, 1, 100), checked(2, 1, 16), checked(1, 2, 1280), corrupt, checked(2, 1, 20)})
        ASSERT_TRUE(client.out->Write(m));
    ASSERT_TRUE(client.out->Write(Heartbeat()));
    ASSERT_EQ(RingLinesUpTo("Heartbeat " + client.IdText() + " 1").size(), 1u) << "only the heartbeat is logged";
    EXPECT_EQ(control.DrainReport(),
              "packets=5 bytes=1466 bad=1 order=1 senders=2\nsender 1 2 2\nsender 2 2 1");

    // Counting only: cleared by the switch, nothing checked.
    ASSERT_EQ(control.SetDrainMode(1), S_OK);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(client.out->Write(DataRecord(client.clientId, 9, {1, 2, 3})));
    EXPECT_TRUE(WaitFor([&] { return control.DrainReport().rfind("packets=3 ", 0) == 0; }));
    EXPECT_EQ(control.DrainReport(), "packets=3 bytes=9 bad=0 order=0 senders=0");
    EXPECT_EQ(control.SetDrainMode(3), E_INVALIDARG);

    // Reset goes back to logging.
    control.Reset();
    ASSERT_TRUE(client.out->Write(DataRecord(client.clientId, 9, {0xAB})));
    EXPECT_EQ(RingLinesUpTo("Data " + client.IdText() + " 9 1 [ab]").size(), 1u);
}

TEST_F(Rings, EchoSendsDataBackAsPeerDataUntilReset) {
    Client client;
    ASSERT_TRUE(client.SignOn(server));
    control.SetEcho(true);
    control.ClearLog();

    ShmMessage data = DataRecord(client.clientId, 42, {0x10, 0x20, 0x30, 0x40});
    data.eventCode = 5;
    data.eventParam = 6;
    data.extra = 7;  // the echo carries extra 0 whatever the client sent
    ShmMessage bad = DataRecord(client.clientId, 43, {1});
    bad.length = 2000;
    ASSERT_TRUE(client.out->Write(Heartbeat()));  // not echoed
    ASSERT_TRUE(client.out->Write(bad));          // not echoed either
    ASSERT_TRUE(client.out->Write(data));

    ShmMessage got;
    ASSERT_TRUE(ReadSoon(*client.in, got));
    EXPECT_EQ(got.type, serverlink::kMsgPeerData);
    EXPECT_EQ(got.clientId, 0u);
    EXPECT_EQ(got.peerId, 42u);
    EXPECT_EQ(got.length, 4u);
    EXPECT_EQ(Hex(got.payload, 4), "10203040");
    EXPECT_TRUE(AllZero(got.payload + 4, sizeof(got.payload) - 4));
    EXPECT_EQ(got.eventCode, 0);
    EXPECT_EQ(got.eventParam, 0);
    EXPECT_EQ(got.extra, 0);
    // Still logged, and logged before it was echoed.
    const std::vector<std::string> lines = RingLinesUpTo("Data " + client.IdText() + " 42 4 [10203040]");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "BadData 2000");

    // Reset turns echo off: the next packet is logged and nothing comes back.
    control.Reset();
    ASSERT_TRUE(client.out->Write(DataRecord(client.clientId, 44, {0x55})));
    ASSERT_EQ(RingLinesUpTo("Data " + client.IdText() + " 44 1 [55]").size(), 1u);
    // The poll thread is done with a record (echo included) before it reads
    // the next one, so once the next one is logged the incoming ring tells.
    ASSERT_TRUE(client.out->Write(Heartbeat()));
    ASSERT_EQ(RingLinesUpTo("Heartbeat " + client.IdText() + " 1").size(), 2u);
    EXPECT_FALSE(client.in->Read(got));
}

TEST_F(Rings, RunDemoWritesTheSequenceThenResumesThePeerLater) {
    Client client;
    ASSERT_TRUE(client.SignOn(server));
    constexpr LONG kPeer = 31337;
    constexpr LONG kPauseMs = 300;

    const DWORD start = GetTickCount();
    ASSERT_EQ(control.RunDemo(client.Id(), kPeer, kPauseMs), S_OK);

    ShmMessage got;
    ASSERT_TRUE(client.in->Read(got));
    EXPECT_EQ(got.type, serverlink::kMsgEvent);
    EXPECT_EQ(got.peerId, 1u);
    EXPECT_EQ(got.eventCode, 1);
    EXPECT_EQ(got.eventParam, 100);
    EXPECT_EQ(got.extra, 0);

    ASSERT_TRUE(client.in->Read(got));
    EXPECT_EQ(got.type, serverlink::kMsgEvent);
    EXPECT_EQ(got.peerId, 1u);
    EXPECT_EQ(got.eventCode, 5);
    EXPECT_EQ(serverlink::descramble(uint32_t(got.eventParam)), 123456u);
    EXPECT_EQ(uint32_t(got.eventParam), serverlink::scramble(123456));
    EXPECT_EQ(got.extra, kPeerReady);

    ASSERT_TRUE(client.in->Read(got));
    EXPECT_EQ(got.type, serverlink::kMsgNoticeA);
    EXPECT_EQ(got.clientId, client.clientId);
    EXPECT_EQ(got.length, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.payload), 7), "welcome");
    EXPECT_TRUE(AllZero(got.payload + 7, sizeof(got.payload) - 7));

    ASSERT_TRUE(client.in->Read(got));
    EXPECT_EQ(got.type, serverlink::kMsgEvent);
    EXPECT_EQ(got.peerId, uint32_t(kPeer));
    EXPECT_EQ(got.eventCode, kCodePause);

    ASSERT_TRUE(ReadSoon(*client.in, got));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(got.type, serverlink::kMsgEvent);
    EXPECT_EQ(got.peerId, uint32_t(kPeer));
    EXPECT_EQ(got.eventCode, kCodeResume);
    EXPECT_EQ(got.eventParam, 0);
    EXPECT_EQ(got.extra, 0);
    // Not before the pause was over (one tick of slack for the clock's granularity).
    EXPECT_GE(elapsed + 16, DWORD(kPauseMs));

    EXPECT_EQ(control.RunDemo(client.Id() + 1, kPeer, 0), E_INVALIDARG);
}

TEST_F(Rings, ConcurrentNegotiationsNeverShareARing) {
    const LONG p = Proposal();

    // Two clients on their own threads and apartments, same proposal, same moment.
    LONG channels[2] = {-1, -1};
    std::atomic<int> negotiated{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            ComScope sta;
            ServerObject object;
            if (object.ok()) channels[t] = object.Negotiate(p);
            ++negotiated;
            while (!release) Sleep(1);  // both reservations held until both are in
        });
    }
    EXPECT_TRUE(WaitFor([&] { return negotiated.load() == 2; })) << "a client never got its channel";
    EXPECT_NE(channels[0], -1);
    EXPECT_NE(channels[1], -1);
    EXPECT_TRUE(channels[0] == p || channels[1] == p);
    EXPECT_GE(std::abs(channels[0] - channels[1]), 2) << channels[0] << " " << channels[1];
    release = true;
    for (auto& th : threads) th.join();

    // Both released with their objects: the proposal is free again.
    ServerObject a, b, c, d;
    ASSERT_TRUE(a.ok() && b.ok() && c.ok() && d.ok());
    control.ClearLog();
    EXPECT_EQ(a.Negotiate(p), p);
    EXPECT_EQ(b.Negotiate(p), p + 2);      // p + 1 would share ring p + 1
    EXPECT_EQ(c.Negotiate(p + 1), p + 4);  // overlaps both pairs above
    EXPECT_EQ(d.Negotiate(p - 1), p + 6);  // p - 1 shares ring p; scanning upward, p + 6 is the first free pair
    // The log keeps each proposal as it arrived.
    const std::vector<std::string> log = control.Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "NegotiateChannel 0 " + std::to_string(p));
    EXPECT_EQ(log[2], "NegotiateChannel 0 " + std::to_string(p + 1));
}

// A client closes its rings only after its Logout has returned, and a client of
// another process may hold rings the server never handed out: a channel with
// a section that still exists is not handed out again.
TEST_F(Rings, AChannelWhoseSectionsStillExistIsNotHandedOut) {
    const LONG p = Proposal();
    ServerObject a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    {
        RawSection lingering(uint32_t(p) + 1, 4096);  // ring p + 1, still held by someone
        ASSERT_TRUE(lingering.Ok());
        EXPECT_EQ(a.Negotiate(p), p + 2);
    }
    EXPECT_EQ(b.Negotiate(p), p) << "free again once the section is gone";
}

TEST_F(Rings, ReservationsEndWithTheSignOn) {
    const LONG p = Proposal();
    {
        ServerObject a, b, c;
        ASSERT_TRUE(a.ok() && b.ok() && c.ok());
        ASSERT_EQ(a.Negotiate(p), p);
        ASSERT_EQ(b.Negotiate(p + 2), p + 2);
        ASSERT_EQ(c.Negotiate(p + 4), p + 4);

        ServerObject probe;
        ASSERT_TRUE(probe.ok());
        EXPECT_EQ(a.Disconnect(), 0);
        EXPECT_EQ(probe.Negotiate(p), p);
        EXPECT_EQ(probe.Negotiate(p + 2), p + 6);  // negotiating again gives up p, b still holds p + 2
        LONG status = -1;
        ASSERT_EQ(b->Logout(1, 2, uint16_t(p + 2), &status), S_OK);
        EXPECT_EQ(probe.Negotiate(p + 2), p + 2);
        c.Release();
        EXPECT_EQ(probe.Negotiate(p + 4), p + 4);
        // A refused negotiation reserves nothing and hands the proposal back.
        control.SetAnswer(L"NegotiateChannel", 9);
        EXPECT_EQ(a.Negotiate(p + 4, &status), p + 4);
        EXPECT_EQ(status, 9);
        control.SetAnswer(L"NegotiateChannel", 0);
        EXPECT_EQ(a.Negotiate(p + 6), p + 6);
    }

    // Scanning stays in 500..65000 and wraps.
    ServerObject top, wrapped;
    ASSERT_TRUE(top.ok() && wrapped.ok());
    ASSERT_EQ(top.Negotiate(64999), 64999);
    const LONG w = wrapped.Negotiate(64999);
    EXPECT_GE(w, 500);
    EXPECT_LT(w, 64998);
}

TEST_F(Rings, ScriptedChannelsOverrideVerbatimAndReserveNothing) {
    const LONG p = Proposal();
    ServerObject holder, scripted, after;
    ASSERT_TRUE(holder.ok() && scripted.ok() && after.ok());
    ASSERT_EQ(holder.Negotiate(p), p);

    control.SetChannel(70000);
    EXPECT_EQ(scripted.Negotiate(p), 70000);
    control.SetChannel(65535);
    EXPECT_EQ(scripted.Negotiate(p + 1), 65535);
    control.SetChannel(p);  // even onto a reserved pair
    EXPECT_EQ(scripted.Negotiate(12345), p);
    control.SetChannel(0);

    // None of the scripted channels was reserved.
    EXPECT_EQ(after.Negotiate(65535), 65535);
    EXPECT_EQ(after.Negotiate(70000), 70000);
    EXPECT_EQ(after.Negotiate(p), p + 2);  // the real reservation still stands
}

TEST_F(Rings, RingsOpenOnAnAcceptedLoginAndCloseWithTheSignOn) {
    Client client;
    LONG written = -1;
    // An event record: Inject fails with E_INVALIDARG when the client has no rings.
    auto probe = [&] { return control.Inject(client.Id(), 7, 0, 1, 0, 0, 0, 0, {}, &written); };

    // A refused login opens nothing.
    ASSERT_TRUE(client.Prepare(server, Proposal()));
    control.SetAnswer(L"Login", 5);
    EXPECT_EQ(server.Login(client.clientId, client.channel), 5);
    EXPECT_EQ(control.RingClients(), baseline);
    EXPECT_EQ(probe(), E_INVALIDARG);
    control.SetFailure(L"Login", E_ACCESSDENIED);
    EXPECT_EQ(server.Login(client.clientId, client.channel), -1);
    EXPECT_EQ(control.RingClients(), baseline);
    control.Reset();

    // Accepted: open until Disconnect.
    ASSERT_TRUE(client.SignOn(server));
    EXPECT_EQ(control.RingClients(), baseline + 1);
    EXPECT_EQ(probe(), S_OK);
    EXPECT_EQ(written, 1);
    EXPECT_EQ(server.Disconnect(), 0);
    EXPECT_EQ(control.RingClients(), baseline);
    EXPECT_EQ(probe(), E_INVALIDARG);

    // Until Logout.
    ASSERT_TRUE(client.SignOn(server));
    EXPECT_EQ(control.RingClients(), baseline + 1);
    LONG status = -1;
    ASSERT_EQ(server->Logout(client.Id(), 0, client.channel, &status), S_OK);
    EXPECT_EQ(control.RingClients(), baseline);

    // A second login on the same object replaces its rings.
    ASSERT_TRUE(client.SignOn(server));
    Client again;
    again.clientId = client.clientId;
    ASSERT_TRUE(again.SignOn(server, client.channel + 10));
    ASSERT_NE(again.channel, client.channel);
    EXPECT_EQ(control.RingClients(), baseline + 1);
    ASSERT_EQ(probe(), S_OK);
    ShmMessage got;
    EXPECT_FALSE(client.in->Read(got));
    EXPECT_TRUE(again.in->Read(got));

    // Until the object goes away.
    server.Release();
    EXPECT_EQ(control.RingClients(), baseline);
    EXPECT_EQ(probe(), E_INVALIDARG);
}

TEST_F(Rings, TheServersMappingsAreGoneWhenTheSignOffCallReturns) {
    for (int how = 0; how < 3; ++how) {
        ServerObject object;
        ASSERT_TRUE(object.ok());
        Client client;
        ASSERT_TRUE(client.SignOn(object));
        // Keep the traffic going so the poll thread is mid-pass when the call comes.
        for (int i = 0; i < 100; ++i) client.out->Write(Heartbeat());
        const uint32_t n = client.channel;
        client.out.reset();
        client.in.reset();
        ASSERT_TRUE(SectionExists(n)) << "the server holds the rings open";
        ASSERT_TRUE(SectionExists(n + 1));
        LONG status = -1;
        if (how == 0) {
            EXPECT_EQ(object.Disconnect(), 0);
        } else if (how == 1) {
            EXPECT_EQ(object->Logout(client.Id(), 0, uint16_t(n), &status), S_OK);
        } else {
            object.Release();
        }
        EXPECT_FALSE(SectionExists(n)) << how;
        EXPECT_FALSE(SectionExists(n + 1)) << how;
    }
}

TEST_F(Rings, LoginWithoutUsableRingsIsAcceptedAndLogged) {
    const uint32_t clientId = UniqueNumber();
    const LONG channel = server.Negotiate(Proposal());
    ASSERT_GT(channel, 0);
    control.ClearLog();

    // Neither ring exists.
    EXPECT_EQ(server.Login(clientId, uint16_t(channel)), 0);
    EXPECT_EQ(control.RingClients(), baseline);

    // The incoming ring is missing.
    auto out = std::make_unique<CShmQueue>(uint32_t(channel), kSlots, true);
    EXPECT_EQ(server.Login(clientId, uint16_t(channel)), 0);
    EXPECT_EQ(control.RingClients(), baseline);

    // A section too small for 128 slots is refused, not read past its end.
    CShmMapping small(uint32_t(channel) + 1u, 4096, true);
    EXPECT_EQ(server.Login(clientId, uint16_t(channel)), 0);
    EXPECT_EQ(control.RingClients(), baseline);

    // A record too short to hold the channel opens nothing and adds no line.
    LoginVariant shortRecord(clientId, uint16_t(channel), 16);
    LONG status = -1;
    EXPECT_EQ(server->Login(shortRecord.get(), &status), S_OK);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(control.RingClients(), baseline);

    const std::string failed = "RingOpenFailed " + std::to_string(LONG(clientId)) + " " + std::to_string(channel);
    const std::vector<std::string> log = control.Log();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[1], failed);
    EXPECT_EQ(log[3], failed);
    EXPECT_EQ(log[5], failed);
    EXPECT_EQ(log[6].rfind("Login [", 0), 0u);
}

TEST_F(Rings, FloodWritesSequencedEventsWaitingWhileTheRingIsFullAndStopsWithTheRings) {
    Client client;
    ASSERT_TRUE(client.SignOn(server));
    EXPECT_EQ(control.Flood(LONG(UniqueNumber()), 10, 1), E_INVALIDARG) << "no rings for that client";
    EXPECT_EQ(control.Flood(client.Id(), -1, 1), E_INVALIDARG);

    // Several ring-fulls: the flood waits for the reader each time.
    constexpr uint32_t kCount = 1000;
    ASSERT_EQ(control.Flood(client.Id(), LONG(kCount), 42), S_OK);
    ShmMessage got;
    for (uint32_t n = 0; n < kCount; ++n) {
        ASSERT_TRUE(ReadSoon(*client.in, got)) << "event " << n;
        ASSERT_EQ(got.type, serverlink::kMsgEvent) << n;
        ASSERT_EQ(got.peerId, client.clientId) << n;
        ASSERT_EQ(got.eventCode, 42) << n;
        ASSERT_EQ(got.eventParam, LONG(n));
        ASSERT_EQ(got.extra, LONG(kCount)) << n;
        ASSERT_EQ(got.length, 0u) << n;
        ASSERT_EQ(got.clientId, 0u) << n;
    }
    // Nothing after the last one: the next record is the one injected now.
    LONG written = 0;
    ASSERT_EQ(control.Inject(client.Id(), 7, 0, 1, 0, 43, 0, 0, {}, &written), S_OK);
    ASSERT_TRUE(ReadSoon(*client.in, got));
    EXPECT_EQ(got.eventCode, 43);

    // An endless flood into a full ring ends with the sign-on: once Disconnect
    // has returned, no flood holds the sections.
    ASSERT_EQ(control.Flood(client.Id(), 0x7FFFFFFF, 44), S_OK);
    ASSERT_TRUE(ReadSoon(*client.in, got));
    EXPECT_EQ(got.eventCode, 44);
    const uint32_t n = client.channel;
    client.out.reset();
    client.in.reset();
    EXPECT_EQ(server.Disconnect(), 0);
    for (uint32_t ring : {n, n + 1}) EXPECT_FALSE(SectionExists(ring)) << ring;
    EXPECT_EQ(control.RingClients(), baseline);
}

}  // namespace
