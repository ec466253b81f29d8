// A hostile local server. The test process plays it: it writes straight into
// the incoming section of a link signed on through the real DLL, as the server
// would, with random records of every kind and, at intervals, broken ring state
// (garbage state bytes, garbage slots, out-of-range indexes). Sinks under
// several keys check every call they get. And a section squatted under a
// ring's name by another process before the link makes it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "child_process.h"
#include "events/descramble.h"
#include "link_helpers.h"
#include "raw_section.h"
#include "serverlink_codes.h"
#include "shm/shm_message.h"
#include "sinks.h"
#include "test_support.h"

using namespace testing_support;
using serverlink::ShmMessage;

namespace {

constexpr uint32_t kMaxData = 1280;
constexpr size_t kCleanRecords = 100000;  // records checked one by one, besides the garbage

class Rng {
public:
    explicit Rng(uint64_t seed) : m_s(seed) {}
    uint32_t Next() {
        uint64_t z = (m_s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) >> 16);
    }
    uint32_t Below(uint32_t n) { return Next() % n; }
    bool Percent(uint32_t p) { return Below(100) < p; }
    void Fill(void* p, size_t n) {
        auto* b = static_cast<uint8_t*>(p);
        for (size_t i = 0; i < n; i += 4) {
            const uint32_t v = Next();
            std::memcpy(b + i, &v, n - i < 4 ? n - i : 4);
        }
    }

private:
    uint64_t m_s;
};

// One call as a sink should hear it.
struct Call {
    bool data = false;
    bool notice = false;  // codes 8 and 9 from message types 9 and 10: param is the bytes' address
    ULONG id = 0;
    LONG code = 0;
    LONG param = 0;
    LONG extra = 0;
    std::vector<BYTE> bytes;
};

// What the subscribers of a record hear, by the rules clients rely on: false
// when nobody hears anything.
bool Heard(const ShmMessage& m, Call* c) {
    const uint32_t length = m.length > kMaxData ? kMaxData : m.length;
    switch (m.type) {
        case 7:
            if (m.eventCode == 10 || m.eventCode == 11 || m.eventCode == LONG(SERVERLINK_EVENT_PAUSE) ||
                m.eventCode == LONG(SERVERLINK_EVENT_RESUME))
                return false;
            c->id = m.peerId;
            c->code = m.eventCode;
            c->param = m.eventCode == 5 ? LONG(serverlink::descramble(uint32_t(m.eventParam))) : m.eventParam;
            c->extra = m.extra;
            return true;
        case 8:
            c->data = true;
            c->id = m.peerId;
            c->extra = m.extra;
            c->bytes.assign(m.payload, m.payload + length);
            return true;
        case 9:
        case 10:
            c->notice = true;
            c->id = m.clientId;
            c->code = m.type == 9 ? 8 : 9;
            c->extra = LONG(length);
            c->bytes.assign(m.payload, m.payload + length);
            return true;
        default:
            return false;
    }
}

// What every sink call is held to, shared by the test's sinks. Strict: every
// call must be the next one its sink expects. Loose (while the test breaks the
// ring): only the rules that hold for anything read.
class Verdict {
public:
    void SetStrict(bool on) { m_strict.store(on); }
    bool Strict() const { return m_strict.load(); }
    void Fail(const std::string& why) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failures.size() < 20) m_failures.push_back(why);
        ++m_failureCount;
    }
    size_t FailureCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_failureCount;
    }
    std::string Failures() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string s;
        for (const std::string& f : m_failures) s += f + "\n";
        return s;
    }
    uint64_t Calls() const { return m_calls.load(); }
    // The address of the receive thread's record's payload, once a data call showed it.
    LONG_PTR Payload() const { return m_payload.load(); }
    // The receive thread is the same thread for the whole test, and its one
    // record is reused: every byte pointer handed out is that record's payload.
    void Common(const void* bytesAt, bool bytesArePointer, uint32_t length) {
        ++m_calls;
        const DWORD self = GetCurrentThreadId();
        DWORD expected = 0;
        if (!m_thread.compare_exchange_strong(expected, self) && expected != self)
            Fail("a sink was called on thread " + std::to_string(self) + ", not the receive thread");
        if (!bytesArePointer) return;
        if (length > kMaxData) Fail("a sink was given " + std::to_string(length) + " bytes");
        LONG_PTR known = 0;
        const LONG_PTR at = reinterpret_cast<LONG_PTR>(bytesAt);
        if (!m_payload.compare_exchange_strong(known, at) && known != at)
            Fail("bytes handed out at " + std::to_string(at) + ", not in the record at " + std::to_string(known));
    }

private:
    std::atomic<bool> m_strict{true};
    std::atomic<uint64_t> m_calls{0};
    std::atomic<DWORD> m_thread{0};
    std::atomic<LONG_PTR> m_payload{0};
    std::mutex m_mutex;
    std::vector<std::string> m_failures;
    size_t m_failureCount = 0;
};

class CheckingSink final : public IEventSink {
public:
    CheckingSink(ULONG key, Verdict& verdict) : m_key(key), m_verdict(verdict) {}

    ULONG Key() const { return m_key; }
    bool Hears(ULONG id) const { return m_key == 0 || m_key == id; }
    void Expect(const Call& c) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_expected.push_back(c);
    }
    size_t Pending() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_expected.size();
    }

    HRESULT STDMETHODCALLTYPE OnEvent(ULONG id, LONG code, LONG_PTR param, LONG extra) override {
        // A type-7 event may carry codes 8 and 9 with any param; a notice's
        // param is the record's payload.
        const bool notice = (code == 8 || code == 9) && param != 0 && param == m_verdict.Payload();
        m_verdict.Common(reinterpret_cast<const void*>(param), notice, uint32_t(extra));
        if (!m_verdict.Strict()) return S_OK;
        Call want;
        if (!Next(&want, "event")) return S_OK;
        const std::string where = "sink " + std::to_string(m_key) + ": event id " + std::to_string(id) + " code " +
                                  std::to_string(code) + ": ";
        if (want.data) return Mismatch(where + "expected data");
        if (id != want.id || code != want.code || extra != want.extra)
            return Mismatch(where + "expected id " + std::to_string(want.id) + " code " + std::to_string(want.code) +
                            " extra " + std::to_string(want.extra) + ", got extra " + std::to_string(extra));
        if (want.notice) {
            if (param != m_verdict.Payload()) return Mismatch(where + "notice bytes not in the record");
            if (!want.bytes.empty() && std::memcmp(reinterpret_cast<const void*>(param), want.bytes.data(),
                                                   want.bytes.size()) != 0)
                return Mismatch(where + "notice bytes differ");
        } else if (LONG(param) != want.param) {
            return Mismatch(where + "param " + std::to_string(LONG(param)) + ", expected " + std::to_string(want.param));
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE OnData(ULONG id, const BYTE* data, ULONG length, LONG extra) override {
        m_verdict.Common(data, true, length);
        if (!m_verdict.Strict()) return S_OK;
        Call want;
        if (!Next(&want, "data")) return S_OK;
        const std::string where = "sink " + std::to_string(m_key) + ": data id " + std::to_string(id) + ": ";
        if (!want.data) return Mismatch(where + "expected an event of code " + std::to_string(want.code));
        if (id != want.id || extra != want.extra || length != want.bytes.size())
            return Mismatch(where + "expected id " + std::to_string(want.id) + " length " +
                            std::to_string(want.bytes.size()) + ", got length " + std::to_string(length));
        if (length != 0 && std::memcmp(data, want.bytes.data(), length) != 0) return Mismatch(where + "bytes differ");
        return S_OK;
    }

private:
    bool Next(Call* c, const char* what) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_expected.empty()) {
            m_verdict.Fail("sink " + std::to_string(m_key) + ": unexpected " + what + " call");
            return false;
        }
        *c = std::move(m_expected.front());
        m_expected.pop_front();
        return true;
    }
    HRESULT Mismatch(const std::string& why) {
        m_verdict.Fail(why);
        return S_OK;
    }

    const ULONG m_key;
    Verdict& m_verdict;
    std::mutex m_mutex;
    std::deque<Call> m_expected;
};

// A random record of any kind: types 7 to 10 and unknown ones, lengths up to
// 0xFFFFFFFF, the event codes with a meaning of their own and random ones, ids that the test's
// sinks listen to and random ones.
void RandomRecord(Rng& rng, const std::vector<ULONG>& keys, ShmMessage& m) {
    rng.Fill(&m, sizeof(m));  // padding, unused fields and the whole payload too
    const uint32_t kind = rng.Below(100);
    if (kind < 35)
        m.type = 7;
    else if (kind < 55)
        m.type = 8;
    else if (kind < 65)
        m.type = 9;
    else if (kind < 75)
        m.type = 10;
    else {
        do {
            m.type = static_cast<uint16_t>(rng.Next());
        } while (m.type >= 7 && m.type <= 10);
    }
    auto id = [&]() -> uint32_t { return rng.Percent(60) ? keys[rng.Below(uint32_t(keys.size()))] : rng.Next(); };
    m.peerId = id();
    m.clientId = id();
    const uint32_t lengthKind = rng.Below(10);
    if (lengthKind < 4)
        m.length = rng.Below(kMaxData + 1);
    else if (lengthKind < 6)
        m.length = std::vector<uint32_t>{0, 1, kMaxData, kMaxData + 1, 0xFFFFFFFFu, 0x80000000u}[rng.Below(6)];
    else
        m.length = rng.Next();
    static const int32_t kMeaningful[] = {3, 4, 5, 8, 9, 10, 11, int32_t(SERVERLINK_EVENT_PAUSE),
                                       int32_t(SERVERLINK_EVENT_RESUME)};
    if (rng.Percent(50)) m.eventCode = kMeaningful[rng.Below(sizeof(kMeaningful) / sizeof(kMeaningful[0]))];
    if (rng.Percent(25)) m.extra = static_cast<int32_t>(uint32_t(m.extra) | SERVERLINK_EXTRA_PEER_READY);
}

}  // namespace

TEST(HostilePeer, RandomRecordsAndBrokenRingStateReachSinksOnlyAsTheRulesSay) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(server.SetDrainMode(1), S_OK);  // outgoing packets are counted, not logged
    const uint16_t channel = ScriptedChannel();
    const uint16_t markerChannel = channel + 2;

    IServerLink *link = nullptr, *marker = nullptr;
    ASSERT_EQ(CreateLink(&link), S_OK);
    ASSERT_EQ(CreateLink(&marker), S_OK);
    Verdict verdict;
    const std::vector<ULONG> keys = {5, 0x80000000u, 0xFFFFFFFFu};
    CheckingSink all(0, verdict), five(keys[0], verdict), high(keys[1], verdict), top(keys[2], verdict);
    CheckingSink* sinks[] = {&all, &five, &high, &top};
    const ULONG clientId = UniqueNumber();
    TestRecord rec = MakeRecord(clientId, &all);
    server.SetChannel(channel);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    for (CheckingSink* s : {&five, &high, &top}) ASSERT_EQ(link->AddSubscriber(s, s->Key()), S_OK);
    CountingSink marks;  // what the marker link hears
    TestRecord markerRec = MakeRecord(UniqueNumber(), &marks);
    server.SetChannel(markerChannel);
    ASSERT_EQ(ClientSignOn(marker, markerRec), S_OK);
    server.SetChannel(0);

    std::unique_ptr<RawSection> in = std::make_unique<RawSection>(uint32_t(channel) + 1u);
    std::unique_ptr<RawSection> out = std::make_unique<RawSection>(channel);
    std::unique_ptr<RawSection> markerIn = std::make_unique<RawSection>(uint32_t(markerChannel) + 1u);
    ASSERT_TRUE(in->Ok() && out->Ok() && markerIn->Ok());
    RawWriter writer(*in), markerWriter(*markerIn);

    // Each marker the marker link hears is read in a pass of the receive thread
    // that visits every ring; two in a row prove a whole pass after the call.
    uint32_t markersSent = 0;
    auto waitPasses = [&](int n) {
        for (int i = 0; i < n; ++i) {
            ShmMessage m;
            m.type = 7;
            m.peerId = 1;
            m.eventCode = 1;
            if (!markerWriter.Write(&m, kPatienceMs)) return false;
            ++markersSent;
            if (!WaitFor([&] { return marks.Events() >= markersSent; }, kPatienceMs)) return false;
        }
        return true;
    };
    auto allSlotsFree = [&] {
        for (size_t i = 0; i < RawWriter::kSlots; ++i)
            if (writer.StateRef(i).load(std::memory_order_acquire) == 0) return false;
        return true;
    };
    // Everything written has been read and handed on; the reader is idle.
    auto waitIdle = [&] { return WaitFor(allSlotsFree, kPatienceMs) && waitPasses(2); };
    auto pending = [&] {
        size_t n = 0;
        for (CheckingSink* s : sinks) n += s->Pending();
        return n;
    };
    auto expect = [&](const ShmMessage& m) {
        Call c;
        if (!Heard(m, &c)) return;
        for (CheckingSink* s : sinks)
            if (s->Hears(c.id)) s->Expect(c);
    };

    Rng rng(0x5EED0000u + GetCurrentProcessId());
    size_t clean = 0, loose = 0, held = 0;
    size_t badReadIndex = 0, badWriteIndex = 0, badStates = 0, garbageSlots = 0, badOutIndex = 0;
    ShmMessage m;

    // The first record shows where the receive thread's record is.
    m.type = 8;
    m.peerId = 5;
    m.length = 4;
    m.payload[0] = 0xA1;
    expect(m);
    ASSERT_TRUE(writer.Write(&m));
    ASSERT_TRUE(WaitFor([&] { return pending() == 0; }, kPatienceMs));
    ASSERT_NE(verdict.Payload(), 0);

    for (int stretch = 0; clean < kCleanRecords; ++stretch) {
        ASSERT_EQ(verdict.FailureCount(), 0u) << verdict.Failures();
        const uint32_t kind = rng.Below(10);
        if (kind < 6) {
            // Clean: every record checked as it is delivered.
            const uint32_t n = 200 + rng.Below(1000);
            for (uint32_t i = 0; i < n; ++i) {
                RandomRecord(rng, keys, m);
                expect(m);
                ASSERT_TRUE(writer.Write(&m)) << "the receive thread stopped reading";
                ++clean;
            }
        } else if (kind < 8) {
            // An out-of-range read index: records wait in the ring and nothing
            // is delivered (a delivery now would be an unexpected call), until
            // the index is put back.
            ASSERT_TRUE(waitIdle());
            ASSERT_EQ(pending(), 0u) << "records were lost";
            const int32_t saved = in->ReadIndex();
            static const int32_t kBad[] = {-1, 128, 129, 0x7FFFFFFF, int32_t(0x80000000), -128, 1000};
            in->Set32(kBlockReadIndexAt, kBad[rng.Below(sizeof(kBad) / sizeof(kBad[0]))]);
            ++badReadIndex;
            std::vector<ShmMessage> waiting(1 + rng.Below(RawWriter::kSlots));
            for (ShmMessage& w : waiting) {
                RandomRecord(rng, keys, w);
                ASSERT_TRUE(writer.TryWrite(&w));
            }
            ASSERT_TRUE(waitPasses(2));
            for (const ShmMessage& w : waiting) expect(w);
            in->Set32(kBlockReadIndexAt, saved);
            held += waiting.size();
            clean += waiting.size();
        } else {
            // Broken ring state while the reader runs: garbage state bytes,
            // garbage slots, garbage indexes. Only the rules that hold for
            // anything read are checked meanwhile.
            ASSERT_TRUE(waitIdle());
            ASSERT_EQ(pending(), 0u) << "records were lost";
            verdict.SetStrict(false);
            const uint32_t steps = 100 + rng.Below(400);
            for (uint32_t i = 0; i < steps; ++i) {
                const uint32_t what = rng.Below(100);
                if (what < 40) {
                    RandomRecord(rng, keys, m);
                    if (writer.TryWrite(&m)) ++loose;
                } else if (what < 70) {
                    const uint32_t v = rng.Below(3);
                    writer.StateRef(rng.Below(RawWriter::kSlots))
                        .store(v == 0 ? 0 : v == 1 ? 1 : uint8_t(rng.Next()), std::memory_order_release);
                    ++badStates;
                } else if (what < 85) {
                    rng.Fill(in->Bytes() + BlockSlotAt(rng.Below(RawWriter::kSlots)), sizeof(ShmMessage));
                    ++garbageSlots;
                } else if (what < 93) {
                    in->Set32(kBlockWriteIndexAt, int32_t(rng.Next()));
                    ++badWriteIndex;
                } else {
                    in->Set32(kBlockReadIndexAt, rng.Percent(50) ? int32_t(rng.Next()) : int32_t(rng.Below(128)));
                    ++badReadIndex;
                }
                if ((i & 7) == 7) SwitchToThread();
            }
            // Back to a sane ring: every slot free, the reader idle, the read
            // index in range (the ring never repairs it), the writer behind it.
            for (size_t i = 0; i < RawWriter::kSlots; ++i) writer.StateRef(i).store(1, std::memory_order_release);
            ASSERT_TRUE(waitPasses(2));
            int32_t r = in->ReadIndex();
            if (r < 0 || r >= int32_t(RawWriter::kSlots)) {
                r = int32_t(rng.Below(RawWriter::kSlots));
                in->Set32(kBlockReadIndexAt, r);
            }
            writer.SetNext(size_t(r));
            verdict.SetStrict(true);
        }
        if (stretch % 8 == 7) {
            // The outgoing ring's index out of range: SendData refuses, and
            // works again once the index is back. (A heartbeat may slip in
            // between the two stores; then this round proves nothing.)
            const int32_t saved = out->WriteIndex();
            const int32_t bad = rng.Percent(50) ? -1 - int32_t(rng.Below(1000)) : 128 + int32_t(rng.Below(100000));
            out->Set32(kBlockWriteIndexAt, bad);
            const BYTE packet[16] = {1, 2, 3};
            const HRESULT refused = link->SendData(9, packet, sizeof(packet));
            if (out->WriteIndex() == bad) {
                EXPECT_EQ(refused, E_FAIL);
                out->Set32(kBlockWriteIndexAt, saved);
                ++badOutIndex;
            }
            EXPECT_TRUE(WaitFor([&] { return link->SendData(9, packet, sizeof(packet)) == S_OK; }, kPatienceMs));
        }
    }
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(pending(), 0u) << "records were lost";
    EXPECT_EQ(verdict.FailureCount(), 0u) << verdict.Failures();
    const size_t faults = badReadIndex + badWriteIndex + badStates + garbageSlots + badOutIndex;
    auto n = [](uint64_t v) { return std::to_string(v); };
    std::printf("%s\n", ("hostile peer: " + n(clean + loose + 1) + " records (" + n(clean) + " checked one by one, " +
                         n(held) + " of them held behind a bad read index; " + n(loose) + " amid broken state), " +
                         n(verdict.Calls()) + " sink calls, " + n(faults) + " faults (" + n(badReadIndex) +
                         " bad read indexes, " + n(badWriteIndex) + " bad write indexes, " + n(badStates) +
                         " state bytes, " + n(garbageSlots) + " garbage slots, " + n(badOutIndex) +
                         " bad outgoing indexes)")
                            .c_str());

    // The object signs off and on cleanly afterwards, and hears the server again.
    in.reset();
    out.reset();
    markerIn.reset();
    EXPECT_EQ(link->SignOff(), S_OK);
    ASSERT_EQ(ClientSignOn(link, rec), S_OK);
    Call after;
    after.id = 77;
    after.code = 1234;
    after.param = 99;
    after.extra = 5;
    all.Expect(after);
    LONG written = 0;
    ASSERT_EQ(server.Inject(LONG(clientId), 7, 0, 77, 0, 1234, 99, 5, {}, &written), S_OK);
    EXPECT_EQ(written, 1);
    EXPECT_TRUE(WaitFor([&] { return pending() == 0; }, kPatienceMs));
    EXPECT_EQ(verdict.FailureCount(), 0u) << verdict.Failures();
    EXPECT_EQ(link->SignOff(), S_OK);
    EXPECT_EQ(marker->SignOff(), S_OK);
    EXPECT_EQ(link->Release(), 0u);
    EXPECT_EQ(marker->Release(), 0u);
}

// Another process took a ring's name first. Too small for the ring, or
// reserved without committed pages (writing there would fault on Windows):
// SignOn fails without telling the server anything, and works once the
// section is gone. Big enough but full of garbage: SignOn works and the
// garbage is never read as records. Read-only: Windows refuses a writable
// view, Wine gives one; either way SignOn fails cleanly or works.
TEST(HostilePeer, ASquattedRingSectionMakesSignOnFailCleanlyOrWorkSafely) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    IServerLink* link = nullptr;
    ASSERT_EQ(CreateLink(&link), S_OK);
    RecordingSink sink;
    const ULONG clientId = UniqueNumber();
    TestRecord rec = MakeRecord(clientId, &sink);
    const uint16_t channel = ScriptedChannel();

    struct Case {
        uint32_t ring;
        uint32_t bytes;
        HRESULT signOn;
        const char* what;
        const wchar_t* kind = L"";
    };
    const uint32_t ringSize = 8 + 128 * 1312;
    const Case cases[] = {
        {channel + 1u, 4096, E_FAIL, "incoming ring, one page"},
        {channel + 1u, ringSize - 4104, E_FAIL, "incoming ring, a page short"},
        {channel, 100, E_FAIL, "outgoing ring, 100 bytes"},
        {channel + 1u, ringSize, S_OK, "incoming ring of the right size, full of garbage"},
        {channel, ringSize + 50000, S_OK, "outgoing ring, larger and full of garbage"},
        {channel + 1u, ringSize, E_FAIL, "incoming ring, reserved but never committed", L"reserve"},
        {channel, ringSize, E_FAIL, "outgoing ring, reserved but never committed", L"reserve"},
        {channel + 1u, ringSize, S_FALSE, "incoming ring, read-only", L"readonly"},
    };
    // S_FALSE above: fails cleanly or works, whichever the platform allows.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring ring = std::to_wstring(c.ring);
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, (L"ring_peer_ready_" + ring).c_str());
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, (L"ring_peer_done_" + ring).c_str());
        ASSERT_TRUE(ready != nullptr && done != nullptr);
        ResetEvent(ready);
        ResetEvent(done);
        {
            ChildProcess squatter(BesideExe(L"ring_peer.exe"),
                                  L"squat " + ring + L" " + std::to_wstring(c.bytes) + L" " + std::to_wstring(c.bytes) +
                                      L" " + c.kind);
            ASSERT_TRUE(squatter.Started());
            ASSERT_EQ(WaitForSingleObject(ready, kPatienceMs), WAIT_OBJECT_0) << squatter.Stderr();

            server.SetChannel(channel);
            server.ClearLog();
            const size_t heardBefore = sink.Count();
            const HRESULT signOn = ClientSignOn(link, rec);
            if (c.signOn == S_FALSE)
                EXPECT_TRUE(signOn == S_OK || signOn == E_FAIL) << signOn;
            else
                EXPECT_EQ(signOn, c.signOn);
            if (signOn != S_OK) {
                EXPECT_FALSE(server.LogHas("Login")) << "the server was told of a sign-on that failed";
            } else {
                LONG written = 0;
                ASSERT_EQ(server.Inject(LONG(clientId), 7, 0, 31, 0, 4321, 8, 9, {}, &written), S_OK);
                ASSERT_EQ(written, 1);
                ASSERT_TRUE(sink.WaitCount(heardBefore + 1, kPatienceMs));
                const RecordingSink::Call got = sink.Calls().back();
                EXPECT_EQ(got.id, 31u);
                EXPECT_EQ(got.code, 4321);
                EXPECT_EQ(got.param, 8);
                EXPECT_EQ(got.extra, 9);
                const BYTE packet[3] = {7, 8, 9};
                EXPECT_EQ(link->SendData(12, packet, sizeof(packet)), S_OK);
                EXPECT_TRUE(
                    WaitFor([&] { return server.LogHas("Data " + std::to_string(LONG(clientId)) + " 12 3 [070809]"); },
                            kPatienceMs));
            }
            EXPECT_EQ(link->SignOff(), S_OK);
            // Garbage was never read as a record.
            EXPECT_EQ(sink.Count(), heardBefore + (signOn == S_OK ? 1 : 0));
            SetEvent(done);
            ASSERT_TRUE(squatter.Wait(kPatienceMs));
            EXPECT_EQ(squatter.ExitCode(), 0u) << squatter.Stderr();
        }
        CloseHandle(ready);
        CloseHandle(done);
        // The name is free again: the same channel works.
        EXPECT_EQ(ClientSignOn(link, rec), S_OK);
        EXPECT_EQ(link->SignOff(), S_OK);
    }
    server.SetChannel(0);
    EXPECT_EQ(link->Release(), 0u);
}
