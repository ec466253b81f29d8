#include "links.h"

#include <cstdio>
#include <cstring>

#include "common/error.h"

namespace bench {

namespace {

// Channels the benchmark picks itself (the server hands a scripted channel out
// verbatim); ring numbers c and c + 1 stay clear of the negotiated range.
constexpr uint32_t kFirstChannel = 30000;
constexpr uint32_t kLastChannel = 64000;
constexpr uint32_t kClientBase = 0xBE000000u;  // the benchmark's client ids: kClientBase + 1, + 2, ...
constexpr BYTE kLongSignOn = 2;                // sign-on record version: the long form
uint32_t g_nextChannel = kFirstChannel;
uint32_t g_nextClient = 0;

std::string FromBstr(BSTR b) {
    std::string s;
    if (b != nullptr)
        for (const wchar_t* p = b; *p; ++p) s.push_back(static_cast<char>(*p));
    return s;
}

}  // namespace

void Tally::Reset(uint32_t warmAt, uint32_t targetAt, int64_t* latency, uint32_t cap) {
    delivered.store(0);
    bad.store(0);
    gaps = false;
    warm = warmAt;
    target = targetAt;
    tStart.store(0);
    tEnd.store(0);
    samples = latency;
    capacity = cap;
    gated.store(false);
}

double Tally::Rate() const {
    const int64_t span = tEnd.load() - tStart.load();
    if (span <= 0 || target <= warm) return 0;
    return double(target - warm) * 1e9 / TicksToNs(span);
}

void PassGate(Tally& t) {
    t.gated.store(true, std::memory_order_release);
    if (t.release != nullptr) WaitForSingleObject(t.release, kWaitLimitMs);  // bounded: the main thread may have failed
    t.tStart.store(Ticks(), std::memory_order_relaxed);
}

std::unique_ptr<BenchLink> BenchLink::Make(ILocalServerControl* control, Report& report) {
    std::unique_ptr<BenchLink> b(new BenchLink(control, report));
    if (FAILED(CoCreateInstance(CLSID_ServerLink, nullptr, CLSCTX_INPROC_SERVER, IID_IServerLink,
                                reinterpret_cast<void**>(&b->m_link)))) {
        report.Fail("serverlink.dll could not be created (is it registered?)");
        return nullptr;
    }
    return b;
}

bool BenchLink::SignOn() {
    SignOff();
    const uint32_t channel = g_nextChannel;
    g_nextChannel += 2;
    if (g_nextChannel > kLastChannel) g_nextChannel = kFirstChannel;
    m_clientId = kClientBase + (++g_nextClient);
    SignOnRecord rec;
    std::memset(&rec, 0, sizeof(rec));
    rec.version = kLongSignOn;
    rec.clientId = m_clientId;
#ifndef _WIN64
    rec.eventSink = &m_sink;
#else
    m_link->AddSubscriber(&m_sink, 0);  // a 64-bit record cannot name its sink
#endif
    m_control->SetChannel(static_cast<LONG>(channel));
    const HRESULT hr = m_link->SignOn(&rec);
    m_control->SetChannel(0);
    if (hr != S_OK) {
        char text[96];
        std::snprintf(text, sizeof(text), "sign-on at channel %u failed: 0x%08lX", channel, static_cast<unsigned long>(hr));
        m_report.Fail(text);
        return false;
    }
    try {
        const auto channelId = static_cast<uint16_t>(channel);
        m_out =
            std::make_unique<serverlink::CShmQueue>(serverlink::OutgoingRing(channelId), serverlink::kRingSlots, false);
        m_in =
            std::make_unique<serverlink::CShmQueue>(serverlink::IncomingRing(channelId), serverlink::kRingSlots, false);
    } catch (const serverlink::CError& e) {
        m_report.Fail(std::string("rings of a signed-on link could not be opened: ") + e.what());
        m_out.reset();
        m_in.reset();
        m_link->SignOff();
        return false;
    }
    return true;
}

void BenchLink::SignOff() {
    if (m_out == nullptr) return;
    m_sink.tally = nullptr;
    m_link->SignOff();
    m_out.reset();
    m_in.reset();
}

DrainCounts ReadDrain(ILocalServerControl* control) {
    DrainCounts c;
    BSTR report = nullptr;
    if (FAILED(control->GetDrainReport(&report)) || report == nullptr) return c;
    c.text = FromBstr(report);
    SysFreeString(report);
    unsigned long long p = 0, b = 0, x = 0, o = 0, s = 0;
    if (std::sscanf(c.text.c_str(), "packets=%llu bytes=%llu bad=%llu order=%llu senders=%llu", &p, &b, &x, &o,
                    &s) == 5) {
        c.ok = true;
        c.packets = p;
        c.bytes = b;
        c.bad = x;
        c.order = o;
        c.senders = s;
    }
    return c;
}

}  // namespace bench
