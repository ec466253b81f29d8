#pragma once
// Link objects of the DLL signed on to the reference server at channels the
// benchmark chose, so that it can open their rings from its own side: read the
// outgoing ring where the server does not, and write the incoming ring as the
// server would. And the sink that checks and counts what the receive thread
// delivers.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench.h"
#include "common/com_ptr.h"
#include "localserver_control.h"
#include "serverlink.h"
#include "shm/shm_queue.h"

_COM_SMARTPTR_TYPEDEF(IServerLink, __uuidof(IServerLink));
_COM_SMARTPTR_TYPEDEF(ILocalServerControl, __uuidof(ILocalServerControl));

namespace bench {

constexpr uint32_t kDataPeer = 7;              // peer id of the records the benchmark writes
constexpr uint32_t kGatePeer = 0xFFFFFF01u;    // a record that holds the receive thread (see Tally)
constexpr uint32_t kSendPeerBase = 1000;       // SendData peer of sender thread i: 1000 + i

// What the receiving side of one phase saw. Written only by the one thread that
// consumes (the receive thread, or a floor's reader); read by the main thread.
struct Tally {
    std::atomic<uint32_t> delivered{0};
    std::atomic<uint32_t> bad{0};  // out of order, or marks not intact
    bool gaps = false;             // records may be missing (a writer that drops), never reordered
    uint32_t warm = 0;             // tStart is taken at this count (0: never)
    uint32_t target = 0;           // tEnd is taken at this count
    std::atomic<int64_t> tStart{0};
    std::atomic<int64_t> tEnd{0};
    int64_t* samples = nullptr;  // when set: latency ticks of record i (stamp to arrival)
    uint32_t capacity = 0;
    // A gate record makes the consumer set `gated`, wait for `release` and then
    // take tStart: the rings fill while the receive thread is held in its pass.
    HANDLE release = nullptr;
    std::atomic<bool> gated{false};

    void Reset(uint32_t warmAt, uint32_t targetAt, int64_t* latency = nullptr, uint32_t cap = 0);
    // Records per second between the warm mark and the target.
    double Rate() const;
};

// One record as the consumer takes it: order and marks checked, counted, and
// the latency sampled when asked.
inline void Consume(Tally& t, uint32_t& expected, const uint8_t* payload, uint32_t length) {
    const uint32_t seq = MarkedSeq(payload);
    if ((t.gaps ? seq < expected : seq != expected) || !MarksIntact(payload, length))
        t.bad.store(t.bad.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    expected = seq + 1;
    const uint32_t n = t.delivered.load(std::memory_order_relaxed) + 1;
    if (t.samples != nullptr && n <= t.capacity) t.samples[n - 1] = Ticks() - MarkedStamp(payload);
    if (n == t.warm) t.tStart.store(Ticks(), std::memory_order_relaxed);
    if (n == t.target) t.tEnd.store(Ticks(), std::memory_order_relaxed);
    t.delivered.store(n, std::memory_order_release);
}

// Held at the gate record until Tally::release is set (bounded).
void PassGate(Tally& t);

class BenchSink final : public IEventSink {
public:
    HRESULT STDMETHODCALLTYPE OnEvent(ULONG, LONG, LONG_PTR, LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnData(ULONG id, const BYTE* data, ULONG length, LONG) override {
        if (tally == nullptr) return S_OK;
        if (id == kDataPeer)
            Consume(*tally, expected, data, length);
        else if (id == kGatePeer)
            PassGate(*tally);
        return S_OK;
    }
    Tally* tally = nullptr;  // set while no record is in flight
    uint32_t expected = 0;   // next sequence number of this link's stream
};

// One link object of the DLL, signed on at a chosen channel; its rings opened
// from the benchmark's side. Owner thread: the thread that made it.
class BenchLink {
public:
    // Null (and a failure in the report) when any step fails.
    static std::unique_ptr<BenchLink> Make(ILocalServerControl* control, Report& report);
    ~BenchLink() { SignOff(); }

    bool SignOn();  // at a fresh channel
    void SignOff();
    bool SignedOn() const { return m_out != nullptr; }

    IServerLink* Link() const { return m_link; }
    BenchSink& Sink() { return m_sink; }
    uint32_t ClientId() const { return m_clientId; }
    serverlink::CShmQueue& Out() { return *m_out; }  // read it only while the server does not
    serverlink::CShmQueue& In() { return *m_in; }    // written by one bench thread at a time

private:
    BenchLink(ILocalServerControl* control, Report& report) : m_control(control), m_report(report) {}

    ILocalServerControl* m_control;
    Report& m_report;
    BenchSink m_sink;  // before the link: it outlives the link that calls it
    IServerLinkPtr m_link;
    uint32_t m_clientId = 0;
    std::unique_ptr<serverlink::CShmQueue> m_out;
    std::unique_ptr<serverlink::CShmQueue> m_in;
};

// What a writer does with a record that finds the ring full.
enum class FullRing {
    Wait,  // keeps it and retries at once: a backlog of its own
    Drop,  // gives it up
};

// Writes `count` data records (peer kDataPeer, seq first..first+count-1) into
// ring. interval 0: as fast as the ring takes them, each stamped when written
// if `stamp`; otherwise record i is offered at start + i*interval and stamped
// with that moment. Returns the writes refused by a full ring (with Drop: the
// records dropped); stops early when `stop` is set.
template <class Ring>
uint64_t WriteRecords(Ring& ring, uint32_t first, uint32_t count, int64_t start, int64_t interval, bool stamp,
                      const std::atomic<bool>& stop, FullRing full = FullRing::Wait) {
    serverlink::ShmMessage msg;
    msg.type = serverlink::kMsgPeerData;
    msg.peerId = kDataPeer;
    msg.length = kBenchLength;
    uint64_t refused = 0;
    for (uint32_t i = 0; i < count; ++i) {
        int64_t at = 0;
        if (interval != 0) {
            at = start + int64_t(i) * interval;
            while (Ticks() < at) YieldProcessor();
        }
        Mark(msg.payload, first + i, interval != 0 ? at : (stamp ? Ticks() : 0));
        Backoff backoff;
        while (!ring.Write(msg)) {
            ++refused;
            if (full == FullRing::Drop) break;
            if (stop.load(std::memory_order_relaxed)) return refused;
            backoff.Wait();
        }
    }
    return refused;
}

// Reads the reference server's drain counts ("packets=P bytes=B bad=X order=O senders=S").
struct DrainCounts {
    bool ok = false;
    uint64_t packets = 0, bytes = 0, bad = 0, order = 0, senders = 0;
    std::string text;
};
DrainCounts ReadDrain(ILocalServerControl* control);

}  // namespace bench
