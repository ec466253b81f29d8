// Floors: what the ring code itself allows on this machine, over plain memory,
// with the same packets, checks and drains as the DLL's phases.
#include <cstdio>
#include <cstring>

#include "common/crit_sec.h"
#include "phases.h"

namespace bench {

using serverlink::ShmMessage;

namespace {

constexpr uint32_t kFloorClient = 0xF1000001u;
constexpr double kRunLimitS = 60;  // a run that takes longer has hung

ShmMessage DataPacket() {
    ShmMessage msg;
    msg.type = serverlink::kMsgData;
    msg.clientId = kFloorClient;
    msg.peerId = kSendPeerBase;
    msg.length = kBenchLength;
    return msg;
}

// (a) one thread writes a packet and reads it back, the ring cache-warm.
void FloorLocal(const Options& opt, Report& report) {
    Figure& f = report.Add("floor.a", "floors", "(a) write + drain on one thread", "ns/packet", false);
    PlainRing ring;
    ShmMessage msg = DataPacket(), out;
    const uint32_t n = opt.Count(400000, 4000);
    for (int run = -1; run < opt.runs; ++run) {  // run -1 warms up
        SendCheck check(1, kFloorClient);
        const int64_t t0 = Ticks();
        for (uint32_t i = 0; i < n; ++i) {
            Mark(msg.payload, i, 0);
            if (!ring.Write(msg) || !ring.Read(out)) break;
            check.Take(out);
        }
        const int64_t t1 = Ticks();
        if (check.delivered != n || check.bad != 0) {
            report.Fail("floor (a): " + std::to_string(check.delivered) + " of " + std::to_string(n) +
                        " packets came back, " + std::to_string(check.bad) + " bad");
            return;
        }
        if (run >= 0) f.runs.push_back(TicksToNs(t1 - t0) / n);
    }
}

// (b) a sender thread writes as fast as the ring allows, a drain thread empties it.
void FloorCrossCore(const Options& opt, Report& report) {
    Figure& f = report.Add("floor.b", "floors", "(b) sender thread + drain thread", "ns/packet", false);
    PlainRing ring;
    const uint32_t n = opt.Count(400000, 4000);
    for (int run = -1; run < opt.runs; ++run) {
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
                        while (!ring.Write(msg)) {
                            if (stop.load(std::memory_order_relaxed)) return;
                            backoff.Wait();
                        }
                    }
                } else {
                    tEnd.store(DrainSent(ring, check, n, stop, deadline));
                }
            });
            t0 = group.Release();
        }
        if (check.delivered != n || check.bad != 0) {
            report.Fail("floor (b): " + std::to_string(check.delivered) + " of " + std::to_string(n) + " drained, " +
                        std::to_string(check.bad) + " bad");
            return;
        }
        if (run >= 0) f.runs.push_back(TicksToNs(tEnd.load() - t0) / n);
    }
}

// (c) a bare reader drains a ring that a writer thread fills as fast as it can.
void FloorReader(const Options& opt, Report& report) {
    Figure& f = report.Add("floor.c", "floors", "(c) bare reader, writer thread flat out", "records/s", true);
    PlainRing ring;
    const uint32_t n = opt.Count(400000, 4000);
    for (int run = -1; run < opt.runs; ++run) {
        Tally tally;
        tally.Reset(n / 10, n);
        std::atomic<bool> stop{false};
        const int64_t deadline = DeadlineIn(kRunLimitS);
        {
            ThreadGroup group(2, [&](int i) {
                if (i == 0)
                    WriteRecords(ring, 0, n, 0, 0, false, stop);
                else
                    ConsumeRecords(ring, tally, stop, deadline);
            });
            group.Release();
        }
        if (tally.delivered.load() != n || tally.bad.load() != 0) {
            report.Fail("floor (c): " + std::to_string(tally.delivered.load()) + " of " + std::to_string(n) +
                        " read, " + std::to_string(tally.bad.load()) + " bad");
            return;
        }
        if (run >= 0) f.runs.push_back(tally.Rate());
    }
}

// (c) at full ring: the reader waits while another thread fills the ring, then
// drains it, as the receive thread does from a ring filled while it was held.
void FloorReaderBurst(const Options& opt, Report& report) {
    Figure& f = report.Add("floor.cburst", "floors", "(c) bare reader draining a ring another thread filled",
                           "records/s", true);
    PlainRing ring;
    const uint32_t slots = serverlink::kDefaultSlots;
    const int rounds = int(opt.Count(20, 4));
    HANDLE filled = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (int run = -1; run < opt.runs; ++run) {
        double us = 0;
        for (int round = 0; round < rounds; ++round) {
            Tally tally;
            tally.Reset(0, slots);
            std::atomic<bool> stop{false};
            std::thread reader([&] {
                if (WaitForSingleObject(filled, 60000) != WAIT_OBJECT_0) return;
                tally.tStart.store(Ticks());
                ConsumeRecords(ring, tally, stop, DeadlineIn(kRunLimitS));
            });
            WriteRecords(ring, 0, slots, 0, 0, false, stop);
            SetEvent(filled);
            reader.join();
            if (tally.delivered.load() != slots || tally.bad.load() != 0) {
                report.Fail("floor (c) at full ring: " + std::to_string(tally.delivered.load()) + " read, " +
                            std::to_string(tally.bad.load()) + " bad");
                CloseHandle(filled);
                return;
            }
            us += TicksToUs(tally.tEnd.load() - tally.tStart.load());
        }
        if (run >= 0) f.runs.push_back(double(slots) * rounds * 1e6 / us);
    }
    CloseHandle(filled);
}

// What the paths above are made of, to explain the ratios in the same run.
void Costs(const Options& opt, Report& report) {
    Figure& one = report.Add("cost.lock", "costs", "critical section enter + leave, uncontended", "ns", false);
    Figure& two = report.Add("cost.lock2", "costs", "two nested critical sections enter + leave", "ns", false);
    Figure& copy = report.Add("cost.copy", "costs", "copy of one 1308-byte record, cache-warm", "ns", false);
    serverlink::CCritSec a, b;
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
        for (uint32_t i = 0; i < n / 4; ++i) {
            x.peerId = i;
            std::memcpy(static_cast<void*>(&y), &x, sizeof(x));
            asm volatile("" : : "r"(&y) : "memory");
        }
        t1 = Ticks();
        if (run >= 0) copy.runs.push_back(TicksToNs(t1 - t0) / (n / 4));
    }
}

}  // namespace

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

void RunFloors(const Options& opt, Report& report) {
    std::printf("floors (ring code over plain memory) ...\n");
    std::fflush(stdout);
    FloorLocal(opt, report);
    FloorCrossCore(opt, report);
    FloorReader(opt, report);
    FloorReaderBurst(opt, report);
    Costs(opt, report);
}

}  // namespace bench
