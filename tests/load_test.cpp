// Load through the real DLL and the reference server: many threads sending
// through one link, many links receiving floods at once, and callbacks that
// change their own link while the floods go on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "checked_packet.h"
#include "link_helpers.h"
#include "raw_section.h"
#include "shm/ring.h"
#include "sinks.h"
#include "test_support.h"

using namespace testing_support;

namespace {

constexpr LONG kFloodCode = 1000;      // an event code the link passes on unchanged

// The reference server's drain report, taken apart.
struct Drain {
    uint64_t packets = 0, bytes = 0, bad = 0, order = 0, senders = 0;
    struct Sender {
        uint32_t id = 0;
        uint64_t count = 0;
        uint32_t last = 0;
    };
    std::vector<Sender> perSender;
};

// "name=value" words and "sender <id> <count> <last>" lines.
Drain ParseDrain(const std::string& text) {
    Drain d;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        if (word == "sender") {
            Drain::Sender s;
            unsigned long long id = 0, count = 0, last = 0;
            in >> id >> count >> last;
            s.id = uint32_t(id);
            s.count = count;
            s.last = uint32_t(last);
            d.perSender.push_back(s);
            continue;
        }
        const size_t eq = word.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = word.substr(0, eq);
        const uint64_t value = std::stoull(word.substr(eq + 1));
        if (key == "packets") d.packets = value;
        if (key == "bytes") d.bytes = value;
        if (key == "bad") d.bad = value;
        if (key == "order") d.order = value;
        if (key == "senders") d.senders = value;
    }
    return d;
}

std::string N(uint64_t v) { return std::to_string(v); }

// Hears one link's flood: every event must be that link's own, in order.
class FloodSink : public IEventSink {
public:
    explicit FloodSink(ULONG clientId) : m_clientId(clientId) {}

    HRESULT STDMETHODCALLTYPE OnEvent(ULONG id, LONG code, LONG_PTR param, LONG extra) override {
        const uint32_t n = m_count.load();
        if (id != m_clientId || code != kFloodCode || LONG(param) != LONG(n) || extra <= 0) {
            Fail("link " + std::to_string(m_clientId) + " event " + std::to_string(n) + ": got id " +
                 std::to_string(id) + " code " + std::to_string(code) + " param " + std::to_string(LONG(param)));
        }
        m_count.store(n + 1);
        if (onEvent) onEvent(n);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnData(ULONG, const BYTE*, ULONG, LONG) override {
        Fail("link " + std::to_string(m_clientId) + ": data call");
        return S_OK;
    }

    uint32_t Count() const { return m_count.load(); }
    void Fail(const std::string& why) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failures.empty()) m_first = why;
        m_failures.push_back(why);
    }
    size_t Failures() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_failures.size();
    }
    std::string First() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_first;
    }

    // Runs on the receive thread after event n was checked.
    std::function<void(uint32_t n)> onEvent;

private:
    const ULONG m_clientId;
    std::atomic<uint32_t> m_count{0};
    std::mutex m_mutex;
    std::vector<std::string> m_failures;
    std::string m_first;
};

}  // namespace

// Every packet that got S_OK arrives exactly once and intact (the server checks
// each one's checksum and, per sender, that sequence numbers only rise; with
// 100,000 per sender, numbered 0 to 99,999, that is each one exactly once);
// every refusal is E_FAIL.
TEST(Load, FourThreadsSendThroughOneLinkWhileTheServerDrains) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(server.SetDrainMode(2), S_OK);
    IServerLink* link = nullptr;
    ASSERT_EQ(CreateLink(&link), S_OK);
    TestRecord rec = MakeRecord(UniqueNumber(), nullptr);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);

    constexpr uint32_t kThreads = 4, kPackets = 100000;
    std::atomic<uint64_t> refusals{0}, otherResults{0}, bytes{0};
    std::atomic<bool> stalled{false};
    std::vector<std::thread> senders;
    for (uint32_t t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            BYTE packet[1280];
            const uint32_t sender = t + 1;
            for (uint32_t seq = 0; seq < kPackets && !stalled.load(); ++seq) {
                // Lengths differ between threads and packets, so a torn or mixed record shows.
                const uint32_t length = checked_packet::kHeaderSize + (seq * 37u + t * 101u) % (1281u - 16u);
                checked_packet::Make(sender, seq, packet, length);
                const ULONGLONG start = GetTickCount64();
                for (unsigned tries = 0;; ++tries) {
                    const HRESULT hr = link->SendData(100 + t, packet, length);
                    if (hr == S_OK) break;
                    if (hr == E_FAIL)
                        ++refusals;
                    else
                        ++otherResults;
                    if ((tries & 63) == 63) {
                        if (GetTickCount64() - start > kPatienceMs) {
                            stalled = true;
                            return;
                        }
                        Sleep(1);
                    } else {
                        SwitchToThread();
                    }
                }
                bytes += length;
            }
        });
    }
    for (std::thread& s : senders) s.join();
    ASSERT_FALSE(stalled.load()) << "the outgoing ring stayed full";
    EXPECT_EQ(otherResults.load(), 0u) << "a refusal other than E_FAIL";

    const uint64_t total = uint64_t(kThreads) * kPackets;
    ASSERT_TRUE(WaitFor([&] { return ParseDrain(server.DrainReport()).packets >= total; }, kPatienceMs))
        << server.DrainReport().substr(0, 200);
    const Drain d = ParseDrain(server.DrainReport());
    EXPECT_EQ(d.packets, total);
    EXPECT_EQ(d.bytes, bytes.load());
    EXPECT_EQ(d.bad, 0u) << "torn or mixed packets";
    EXPECT_EQ(d.order, 0u) << "a packet repeated or out of order";
    ASSERT_EQ(d.perSender.size(), size_t(kThreads));
    for (const Drain::Sender& s : d.perSender) {
        EXPECT_EQ(s.count, kPackets) << "sender " << s.id;
        EXPECT_EQ(s.last, kPackets - 1) << "sender " << s.id;
    }
    std::printf("%s\n", ("load: " + N(kThreads) + " threads sent " + N(total) + " packets through one link (" +
                         N(refusals.load()) + " refusals while the ring was full), " + N(d.packets - d.bad) +
                         " arrived intact, " + N(total - (d.packets - d.bad)) + " lost")
                            .c_str());
    EXPECT_EQ(link->SignOff(), S_OK);
    EXPECT_EQ(link->Release(), 0u);
}

TEST(Load, EightLinksEachReceiveAFloodOfTheirOwnAtOnce) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    constexpr size_t kLinks = 8;
    constexpr uint32_t kEvents = 100000;
    struct One {
        IServerLink* link = nullptr;
        ULONG clientId = UniqueNumber();
        std::unique_ptr<FloodSink> sink;
    };
    std::vector<One> links(kLinks);
    for (One& o : links) {
        ASSERT_EQ(CreateLink(&o.link), S_OK);
        o.sink = std::make_unique<FloodSink>(o.clientId);
        TestRecord rec = MakeRecord(o.clientId, o.sink.get());
        ASSERT_EQ(ClientSignOn(o.link, rec), S_OK);
    }
    for (One& o : links) ASSERT_EQ(server.Flood(LONG(o.clientId), LONG(kEvents), kFloodCode), S_OK);

    EXPECT_TRUE(WaitFor(
        [&] {
            for (One& o : links)
                if (o.sink->Count() < kEvents || o.sink->Failures() != 0) return false;
            return true;
        },
        kPatienceMs));
    uint64_t heard = 0;
    for (One& o : links) {
        EXPECT_EQ(o.sink->Count(), kEvents) << o.clientId;
        EXPECT_EQ(o.sink->Failures(), 0u) << o.sink->First();
        heard += o.sink->Count();
    }
    std::printf("%s\n", ("load: " + N(kLinks) + " links heard " + N(heard) + " of " + N(kLinks * kEvents) +
                         " flooded events, each its own and in order")
                            .c_str());
    for (One& o : links) {
        EXPECT_EQ(o.link->SignOff(), S_OK);
        EXPECT_EQ(o.link->Release(), 0u);
    }
}

// One link's callback, while floods run into it and two other links, sends
// data, adds and removes a subscriber of its own link (which takes effect as
// the table's rules say: an add from the next event on, a removal after the
// current walk), and finally signs its link off and drops the last reference.
TEST(Load, CallbacksUnderLoadChangeTheirOwnLinkWithoutDeadlock) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(server.SetDrainMode(1), S_OK);
    const LONG baseline = server.ObjectCount();

    constexpr uint32_t kEvents = 60000, kSignOffAt = 40000, kWindow = 1000;
    IServerLink *actor = nullptr, *b = nullptr, *c = nullptr;
    ASSERT_EQ(CreateLink(&actor), S_OK);
    ASSERT_EQ(CreateLink(&b), S_OK);
    ASSERT_EQ(CreateLink(&c), S_OK);
    const ULONG actorId = UniqueNumber(), bId = UniqueNumber(), cId = UniqueNumber();
    FloodSink main(actorId), bSink(bId), cSink(cId);
    RecordingSink extra;
    std::atomic<uint64_t> sent{0}, refused{0}, badResults{0};
    std::atomic<HRESULT> signOff{E_PENDING};
    std::atomic<ULONG> lastRelease{0xFFFFFFFF};
    std::atomic<uint32_t> calledAfterSignOff{0};
    BYTE packet[64] = {1, 2, 3, 4};

    main.onEvent = [&](uint32_t n) {
        if (signOff.load() != E_PENDING) {
            ++calledAfterSignOff;
            return;
        }
        const HRESULT hr = actor->SendData(5, packet, sizeof(packet));
        if (hr == S_OK)
            ++sent;
        else if (hr == E_FAIL)
            ++refused;
        else
            ++badResults;
        const uint32_t phase = n % kWindow;
        if (phase == 100 && actor->AddSubscriber(&extra, actorId) != S_OK) ++badResults;
        if (phase == 600 && actor->RemoveSubscriber(&extra, actorId) != S_OK) ++badResults;
        // During a walk a removal is queued unexamined, and a null sink is refused.
        if (phase == 700 && actor->RemoveSubscriber(&extra, 12345) != S_OK) ++badResults;
        if (phase == 700 && actor->AddSubscriber(nullptr, 0) != E_FAIL) ++badResults;
        if (n == kSignOffAt) {
            signOff = actor->SignOff();
            lastRelease = actor->Release();
        }
    };
    TestRecord actorRec = MakeRecord(actorId, &main), bRec = MakeRecord(bId, &bSink), cRec = MakeRecord(cId, &cSink);
    ASSERT_EQ(ClientSignOn(actor, actorRec), S_OK);
    ASSERT_EQ(ClientSignOn(b, bRec), S_OK);
    ASSERT_EQ(ClientSignOn(c, cRec), S_OK);
    // From here on the callback holds the actor's only reference.
    ASSERT_EQ(server.Flood(LONG(actorId), LONG(kEvents), kFloodCode), S_OK);
    ASSERT_EQ(server.Flood(LONG(bId), LONG(kEvents), kFloodCode), S_OK);
    ASSERT_EQ(server.Flood(LONG(cId), LONG(kEvents), kFloodCode), S_OK);

    EXPECT_TRUE(WaitFor([&] { return bSink.Count() >= kEvents && cSink.Count() >= kEvents; }, kPatienceMs));
    ASSERT_TRUE(WaitFor([&] { return signOff.load() != E_PENDING; }, kPatienceMs)) << "the callback never got there";
    EXPECT_EQ(signOff.load(), S_OK);
    // The delivery in progress keeps the link alive past that release; it is
    // destroyed when the delivery ends, and its server object goes once the
    // owner (this thread) has pumped its messages.
    EXPECT_NE(lastRelease.load(), 0xFFFFFFFFu);
    EXPECT_TRUE(WaitFor([&] { return server.ObjectCount() == baseline + 2; }, kPatienceMs));
    EXPECT_EQ(main.Count(), kSignOffAt + 1) << "events after the sign-off";
    EXPECT_EQ(calledAfterSignOff.load(), 0u);
    EXPECT_EQ(badResults.load(), 0u);
    EXPECT_GT(sent.load(), 0u);
    for (FloodSink* s : {&main, &bSink, &cSink}) EXPECT_EQ(s->Failures(), 0u) << s->First();

    // The extra subscriber heard exactly each window's events after the add,
    // up to and including the one whose callback removed it.
    std::vector<uint32_t> expected;
    for (uint32_t start = 0; start + 600 <= kSignOffAt; start += kWindow)
        for (uint32_t n = start + 101; n <= start + 600; ++n) expected.push_back(n);
    std::vector<uint32_t> got;  // the flood numbers it heard
    for (const RecordingSink::Call& call : extra.Calls())
        if (!call.data) got.push_back(uint32_t(call.param));
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the extra subscriber's events differ from the table's rules";
    std::printf("%s\n", ("load: callbacks sent " + N(sent.load()) + " packets (" + N(refused.load()) +
                         " refused while the ring was full), made " + N((kSignOffAt / kWindow) * 4) +
                         " subscriber changes, then signed off and released their link at event " + N(kSignOffAt))
                            .c_str());

    EXPECT_EQ(b->SignOff(), S_OK);
    EXPECT_EQ(c->SignOff(), S_OK);
    EXPECT_EQ(b->Release(), 0u);
    EXPECT_EQ(c->Release(), 0u);
}

// One link is flooded without a pause: the test writes its incoming ring as
// fast as the ring takes records, so the receive thread never sleeps and takes
// the hub's lock again right after every pass. Another link's sign-off and last
// release, on another thread, need that lock: they still get their turn and
// return while the flood goes on.
TEST(Load, AnotherLinkSignsOffAndGoesWhileOneIsFloodedWithoutPause) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    const uint16_t channel = ScriptedChannel();
    IServerLink *flooded = nullptr, *other = nullptr;
    ASSERT_EQ(CreateLink(&flooded), S_OK);
    ASSERT_EQ(CreateLink(&other), S_OK);
    const ULONG floodedId = UniqueNumber(), otherId = UniqueNumber();
    FloodSink floodSink(floodedId);
    RecordingSink otherSink;
    TestRecord floodedRec = MakeRecord(floodedId, &floodSink), otherRec = MakeRecord(otherId, &otherSink);
    server.SetChannel(channel);
    ASSERT_EQ(ClientSignOn(flooded, floodedRec), S_OK);
    server.SetChannel(0);
    ASSERT_EQ(ClientSignOn(other, otherRec), S_OK);

    RawSection incoming(uint32_t(channel) + 1u);
    ASSERT_TRUE(incoming.Ok());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        serverlink::CRing ring(incoming.Bytes(), 128);
        serverlink::ShmMessage msg;
        msg.type = serverlink::kMsgEvent;
        msg.peerId = floodedId;
        msg.eventCode = kFloodCode;
        msg.extra = 1;
        for (uint32_t n = 0; !stop.load();) {
            msg.eventParam = int32_t(n);
            if (ring.Write(msg))
                ++n;
            else
                SwitchToThread();
        }
    });
    const bool flowing = WaitFor([&] { return floodSink.Count() > 1000; });

    std::atomic<int> done{0};
    HRESULT signOff = E_PENDING;
    ULONG left = 99;
    std::thread client([&] {
        ComScope sta;
        signOff = other->SignOff();
        left = other->Release();
        done = 1;
    });
    const bool returned = flowing && WaitFor([&] { return done.load() == 1; });
    const uint32_t then = floodSink.Count();
    const bool stillFlooding = WaitFor([&] { return floodSink.Count() > then + 1000; });
    stop = true;
    writer.join();
    client.join();

    EXPECT_TRUE(flowing) << "the flood never reached the sink";
    EXPECT_TRUE(returned) << "the sign-off and release waited for the flood to end";
    EXPECT_TRUE(stillFlooding);
    EXPECT_EQ(signOff, S_OK);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(floodSink.Failures(), 0u) << floodSink.First();
    EXPECT_EQ(flooded->SignOff(), S_OK);
    EXPECT_EQ(flooded->Release(), 0u);
}
