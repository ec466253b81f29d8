#pragma once
#include "bench.h"
#include "common/handle.h"
#include "links.h"

namespace bench {

// 1: the floors, the ring code alone over plain memory without the DLL. One
// call is one run of a floor (recorded unless it warms up); false when its
// check failed (reported).
class Floors {
public:
    explicit Floors(Report& report);
    Floors(const Floors&) = delete;
    Floors& operator=(const Floors&) = delete;
    bool Local(uint32_t n, bool record);   // (a)
    bool Cross(uint32_t n, bool record);   // (b)
    bool Reader(uint32_t n, bool record);  // (c), writer flat out
    bool Burst(int rounds, bool record);   // (c), ring full when the reader starts

private:
    Report& m_report;
    PlainRing m_ring;
    serverlink::CHandle m_filled;
    Figure* m_local;
    Figure* m_cross;
    Figure* m_reader;
    Figure* m_burst;
};

// What the paths are made of: a lock, two nested locks, an interlocked
// operation, a record copy.
void RunCosts(const Options& opt, Report& report);

// What every phase that uses the DLL shares. Runs on the main thread, which
// owns the link objects (STA).
struct Env {
    const Options& opt;
    Report& report;
    ILocalServerControl* control;
    BenchLink* link;  // signed on; used by the send, receive and COM phases
    Floors& floors;   // each phase interleaves its floor's runs with its own
};
// Waits until the tally holds `n` records; on timeout stops the writer and fails.
bool WaitDelivered(Env& env, Tally& tally, uint32_t n, std::atomic<bool>& stop, const std::string& what);

// 2: SendData in process (the benchmark drains) and with the reference server draining.
void RunSendData(Env& env);
// 3-5: receive path flat out, latency (flat out, isolated), paced writers.
void RunReceive(Env& env);
// 7: 1 to 32 signed-on objects.
void RunScale(Env& env);
// 6 and 8: one COM call per message, forwarding calls from several threads.
void RunCom(Env& env);
// The targets, each a ratio of two figures above: a figure of the DLL's path
// over its floor (or over another figure) measured in the same process, so
// that the verdict holds on a fast machine and a slow one alike.
void MakeRatios(Report& report);

// Helpers shared by the phases.
// A data packet read back from an outgoing ring: order per sender and marks.
struct SendCheck {
    uint32_t clientId = 0;
    std::vector<uint32_t> expected;  // next seq of sender i (peer kSendPeerBase + i)
    uint64_t delivered = 0, bad = 0, heartbeats = 0;
    explicit SendCheck(size_t senders, uint32_t client = 0) : clientId(client), expected(senders, 0) {}
    void Take(const serverlink::ShmMessage& m);
};

// Threads that start together: each runs fn(i) once Release is called.
class ThreadGroup {
public:
    ThreadGroup(int n, const std::function<void(int)>& fn);
    ~ThreadGroup() { Join(); }
    int64_t Release() { return m_line.Release(); }
    void Join();

private:
    StartLine m_line;
    std::vector<std::thread> m_threads;
};

// Reads ring while more() holds, handing each record to take(); a side that
// finds the ring empty backs off. Ends early when stop is set or the deadline
// passed (then stop is set too).
template <class Ring, class More, class Take>
void ReadWhile(Ring& ring, More&& more, Take&& take, std::atomic<bool>& stop, int64_t deadline) {
    serverlink::ShmMessage m;
    Backoff backoff;
    while (more()) {
        if (ring.Read(m)) {
            take(m);
            continue;
        }
        if (stop.load(std::memory_order_relaxed)) break;
        if (Ticks() > deadline) {
            stop.store(true);
            break;
        }
        backoff.Wait();
    }
}

// Drains ring into c until n data packets arrived (stop rules of ReadWhile).
// Returns the ticks of the last packet.
template <class Ring>
int64_t DrainSent(Ring& ring, SendCheck& c, uint64_t n, std::atomic<bool>& stop, int64_t deadline) {
    ReadWhile(ring, [&] { return c.delivered < n; }, [&](const serverlink::ShmMessage& m) { c.Take(m); }, stop,
              deadline);
    return Ticks();
}

// Reads ring as a bare consumer into t until t.target records arrived (stop
// rules of ReadWhile).
template <class Ring>
void ConsumeRecords(Ring& ring, Tally& t, std::atomic<bool>& stop, int64_t deadline) {
    uint32_t expected = 0;
    ReadWhile(
        ring, [&] { return t.delivered.load(std::memory_order_relaxed) < t.target; },
        [&](const serverlink::ShmMessage& m) {
            if (m.peerId == kDataPeer) Consume(t, expected, m.payload, m.length);
        },
        stop, deadline);
}

// Ticks of `seconds` from now: the bound of one run.
inline int64_t DeadlineIn(double seconds) { return Ticks() + UsToTicks(seconds * 1e6); }

}  // namespace bench
