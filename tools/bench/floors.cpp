// Floors: what the ring code itself allows on this machine, over plain memory,
// with the same packets, checks and drains as the DLL's phases. Each phase
// runs its floor's runs interleaved with its own, so that both see the same
// machine (a shared machine's load drifts within minutes).
#include <cstdio>
#include <cstring>

#include "common/crit_sec.h"
#include "phases.h"

namespace bench {

using serverlink::ShmMessage;

namespace {

constexpr uint32_t kFloorClient = 0xF1000001u;

ShmMessage DataPacket() {
    ShmMessage msg;
    msg.type = serverlink::kMsgData;
    msg.clientId = kFloorClient;
    msg.peerId = kSendPeerBase;
    msg.length = kBenchLength;
    return msg;
}

}  // namespace

Floors::Floors(Report& report) : m_report(report), m_filled(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    m_local = &report.Add("floor.a", "floors", "(a) write + drain on one thread", "ns/packet", false);
    m_cross = &report.Add("floor.b", "floors", "(b) sender thread + drain thread", "ns/packet", false);
    m_reader = &report.Add("floor.c", "floors", "(c) bare reader, writer thread flat out", "records/s", true);
    m_burst = &report.Add("floor.cburst", "floors", "(c) bare reader draining a ring another thread filled",
                          "records/s", true);
}

// (a) one thread writes a packet and reads it back, the ring cache-warm.
bool Floors::Local(uint32_t n, bool record) {
    ShmMessage msg = DataPacket(), out;
    SendCheck check(1, kFloorClient);
    const int64_t t0 = Ticks();
    for (uint32_t i = 0; i < n; ++i) {
        Mark(msg.payload, i, 0);
        if (!m_ring.Write(msg) || !m_ring.Read(out)) break;
        check.Take(out);
    }
    const int64_t t1 = Ticks();
    if (check.delivered != n || check.bad != 0) {
        m_report.Fail("floor (a): " + std::to_string(check.delivered) + " of " + std::to_string(n) +
                      " packets came back, " + std::to_string(check.bad) + " bad");
        return false;
    }
    if (record) m_local->runs.push_back(TicksToNs(t1 - t0) / n);
    return true;
}

// (b) a sender thread writes as fast as the ring allows, a drain thread empties it.
bool Floors::Cross(uint32_t n, bool record) {
    SendCheck check(1, kFloorClient);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> tEnd{0};
    const int64_t deadline = DeadlineIn(kRunLimitS);
    int64_t t0 = 0;
    {
        ThreadGroup group(2, [&](int i) {
            if (i == 0) {
                ShmMessage msg = DataPacket();
                for (uint32_t s = 0; s < n; ++s) {
                    Mark(msg.payload, s, 0);
                    Backoff backoff;
                    while (!m_ring.Write(msg)) {
                        if (stop.load(std::memory_order_relaxed)) return;
                        backoff.Wait();
                    }
                }
            } else {
                tEnd.store(DrainSent(m_ring, check, n, stop, deadline));
            }
        });
        t0 = group.Release();
    }
    if (check.delivered != n || check.bad != 0) {
        m_report.Fail("floor (b): " + std::to_string(check.delivered) + " of " + std::to_string(n) + " drained, " +
                      std::to_string(check.bad) + " bad");
        return false;
    }
    if (record) m_cross->runs.push_back(TicksToNs(tEnd.load() - t0) / n);
    return true;
}

// (c) a bare reader drains a ring that a writer thread fills as fast as it can.
bool Floors::Reader(uint32_t n, bool record) {
    Tally tally;
    tally.Reset(n / 10, n);
    std::atomic<bool> stop{false};
    const int64_t deadline = DeadlineIn(kRunLimitS);
    {
        ThreadGroup group(2, [&](int i) {
            if (i == 0)
                WriteRecords(m_ring, 0, n, 0, 0, false, stop);
            else
                ConsumeRecords(m_ring, tally, stop, deadline);
        });
        group.Release();
    }
    if (tally.delivered.load() != n || tally.bad.load() != 0) {
        m_report.Fail("floor (c): " + std::to_string(tally.delivered.load()) + " of " + std::to_string(n) +
                      " read, " + std::to_string(tally.bad.load()) + " bad");
        return false;
    }
    if (record) m_reader->runs.push_back(tally.Rate());
    return true;
}

// (c) at full ring: the reader waits while another thread fills the ring, then
// drains it, as the receive thread does from a ring filled while it was held.
bool Floors::Burst(int rounds, bool record) {
    const uint32_t slots = serverlink::kRingSlots;
    double us = 0;
    for (int round = 0; round < rounds; ++round) {
        Tally tally;
        tally.Reset(0, slots);
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            if (WaitForSingleObject(m_filled.Get(), kWaitLimitMs) != WAIT_OBJECT_0) return;
            tally.tStart.store(Ticks());
            ConsumeRecords(m_ring, tally, stop, DeadlineIn(kRunLimitS));
        });
        WriteRecords(m_ring, 0, slots, 0, 0, false, stop);
        SetEvent(m_filled.Get());
        reader.join();
        if (tally.delivered.load() != slots || tally.bad.load() != 0) {
            m_report.Fail("floor (c) at full ring: " + std::to_string(tally.delivered.load()) + " read, " +
                          std::to_string(tally.bad.load()) + " bad");
            return false;
        }
        us += TicksToUs(tally.tEnd.load() - tally.tStart.load());
    }
    if (record) m_burst->runs.push_back(double(slots) * rounds * 1e6 / us);
    return true;
}

void SendCheck::Take(const ShmMessage& m) {
    if (m.type == serverlink::kMsgHeartbeat) {
        ++heartbeats;
        return;
    }
    ++delivered;
    const uint32_t i = m.peerId - kSendPeerBase;
    if (m.type != serverlink::kMsgData || i >= expected.size() || m.clientId != clientId ||
        MarkedSeq(m.payload) != expected[i] || !MarksIntact(m.payload, m.length)) {
        ++bad;
        if (i < expected.size()) expected[i] = MarkedSeq(m.payload) + 1;
        return;
    }
    ++expected[i];
}

ThreadGroup::ThreadGroup(int n, const std::function<void(int)>& fn) {
    for (int i = 0; i < n; ++i)
        m_threads.emplace_back([this, fn, i] {
            m_line.Go();
            fn(i);
        });
}

void ThreadGroup::Join() {
    m_line.Release();  // threads never released would wait for ever
    for (std::thread& t : m_threads)
        if (t.joinable()) t.join();
    m_threads.clear();
}

namespace {

// A critical section that spins this often before it waits: the contended
// turns once more with it.
constexpr DWORD kSpinCount = 4000;

class SpinningCritSec {
public:
    SpinningCritSec() { InitializeCriticalSectionAndSpinCount(&m_cs, kSpinCount); }
    ~SpinningCritSec() { DeleteCriticalSection(&m_cs); }
    SpinningCritSec(const SpinningCritSec&) = delete;
    SpinningCritSec& operator=(const SpinningCritSec&) = delete;
    void Lock() { EnterCriticalSection(&m_cs); }
    void Unlock() { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

// Four threads take turns at one lock, each turn as long as a SendData post
// (a record copied); ns per turn.
template <class Lock>
double Contended(Lock& lock, uint32_t turns) {
    ShmMessage shared, mine;
    int64_t t0 = 0;
    {
        ThreadGroup group(4, [&](int) {
            for (uint32_t i = 0; i < turns; ++i) {
                serverlink::CAutoLock<Lock> turn(lock);
                mine.peerId = i;
                std::memcpy(static_cast<void*>(&shared), &mine, sizeof(mine));
            }
        });
        t0 = group.Release();
    }
    return TicksToNs(Ticks() - t0) / (4.0 * turns);
}

}  // namespace

// What the paths are made of, to explain the ratios with figures of the same run.
void RunCosts(const Options& opt, Report& report) {
    std::printf("costs ...\n");
    std::fflush(stdout);
    Figure& one = report.Add("cost.lock", "costs", "critical section enter + leave, uncontended", "ns", false);
    Figure& two = report.Add("cost.lock2", "costs", "two nested critical sections enter + leave", "ns", false);
    Figure& atomic = report.Add("cost.atomic", "costs", "interlocked increment, uncontended", "ns", false);
    Figure& copy =
        report.Add("cost.copy", "costs",
                   "copy of one " + std::to_string(sizeof(ShmMessage)) + "-byte record, cache-warm", "ns", false);
    Figure& turns = report.Add("cost.contended", "costs", "4 threads taking turns at one critical section, per turn",
                               "ns", false);
    Figure& spinning = report.Add("cost.contended.spin", "costs",
                                  "  the same with a spin count of " + std::to_string(kSpinCount), "ns", false);
    serverlink::CCritSec a, b;
    std::atomic<LONG> counter{0};  // a locked increment with a full barrier, as InterlockedIncrement is
    ShmMessage x, y;
    const uint32_t n = opt.Count(4000000, 40000);
    for (int run = -1; run < opt.runs; ++run) {
        int64_t t0 = Ticks();
        for (uint32_t i = 0; i < n; ++i) serverlink::CAutoLock lock(a);
        int64_t t1 = Ticks();
        if (run >= 0) one.runs.push_back(TicksToNs(t1 - t0) / n);
        t0 = Ticks();
        for (uint32_t i = 0; i < n; ++i) {
            serverlink::CAutoLock outer(a);
            serverlink::CAutoLock inner(b);
        }
        t1 = Ticks();
        if (run >= 0) two.runs.push_back(TicksToNs(t1 - t0) / n);
        t0 = Ticks();
        for (uint32_t i = 0; i < n; ++i) counter.fetch_add(1, std::memory_order_seq_cst);
        t1 = Ticks();
        if (run >= 0) atomic.runs.push_back(TicksToNs(t1 - t0) / n);
        t0 = Ticks();
        for (uint32_t i = 0; i < n / 4; ++i) {
            x.peerId = i;
            std::memcpy(static_cast<void*>(&y), &x, sizeof(x));
            asm volatile("" : : "r"(&y) : "memory");
        }
        t1 = Ticks();
        if (run >= 0) copy.runs.push_back(TicksToNs(t1 - t0) / (n / 4));
        const double asUsed = Contended(a, n / 40);
        SpinningCritSec spinner;
        const double withSpin = Contended(spinner, n / 40);
        if (run >= 0) {
            turns.runs.push_back(asUsed);
            spinning.runs.push_back(withSpin);
        }
    }
}

}  // namespace bench
