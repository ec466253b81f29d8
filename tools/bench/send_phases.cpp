// SendData through the DLL: drained by the benchmark in process (against the
// floors with the same drain), and drained by the reference server from its
// own process, from one sender thread and from four.
#include <algorithm>
#include <cstdio>

#include "checked_packet.h"
#include "drain_mode.h"
#include "phases.h"

namespace bench {

using serverlink::ShmMessage;

namespace {

constexpr DWORD kDrainLimitMs = 30000;  // for the server to drain what one run sent

struct alignas(64) Packet {
    uint8_t bytes[kBenchLength];
};

// One thread: SendData, then read the packet back from the outgoing ring.
void SendLocal(Env& env) {
    Figure& f = env.report.Add("send.local", "SendData", "in process, 1 thread, drained on the same thread",
                               "ns/packet", false);
    BenchLink& link = *env.link;
    serverlink::CShmQueue& ring = link.Out();
    Packet buf{};
    ShmMessage out;
    const uint32_t n = env.opt.Count(400000, 4000);
    for (int run = -1; run < env.opt.runs; ++run) {
        if (!env.floors.Local(n, run >= 0)) return;
        SendCheck check(1, link.ClientId());
        uint64_t refused = 0;
        const int64_t t0 = Ticks();
        for (uint32_t i = 0; i < n; ++i) {
            Mark(buf.bytes, i, 0);
            if (link.Link()->SendData(kSendPeerBase, buf.bytes, kBenchLength) != S_OK) ++refused;
            while (check.delivered < uint64_t(i) + 1 && ring.Read(out)) check.Take(out);
        }
        const int64_t t1 = Ticks();
        if (check.delivered != n || check.bad != 0 || refused != 0) {
            env.report.Fail("SendData local: " + std::to_string(check.delivered) + " of " + std::to_string(n) +
                            " read back, " + std::to_string(check.bad) + " bad, " + std::to_string(refused) +
                            " refused");
            return;
        }
        if (run >= 0) f.runs.push_back(TicksToNs(t1 - t0) / n);
    }
}

// Sender thread i sends `count` packets to peer kSendPeerBase + i, retrying
// while the ring is full; returns the refusals.
uint64_t SendPackets(IServerLink* link, int i, uint32_t count, bool checked, const std::atomic<bool>& stop) {
    Packet buf{};
    uint64_t refused = 0;
    for (uint32_t s = 0; s < count; ++s) {
        if (checked)
            checked_packet::Make(uint32_t(i), s, buf.bytes, kBenchLength);
        else
            Mark(buf.bytes, s, 0);
        Backoff backoff;
        while (link->SendData(kSendPeerBase + uint32_t(i), buf.bytes, kBenchLength) != S_OK) {
            ++refused;
            if (stop.load(std::memory_order_relaxed)) return refused;
            backoff.Wait();
        }
    }
    return refused;
}

// k sender threads and a drain thread of the benchmark.
void SendCross(Env& env, int k) {
    const std::string id = "send.cross" + std::to_string(k);
    Figure& f = env.report.Add(id, "SendData",
                               "in process, " + std::to_string(k) + (k == 1 ? " thread" : " threads") +
                                   ", drain thread",
                               "ns/packet", false);
    Figure& r = env.report.Add(id + ".refused", "SendData",
                               "  refusals from a full ring (" + std::to_string(k) + (k == 1 ? " thread)" : " threads)"),
                               "per packet", false);
    BenchLink& link = *env.link;
    const uint32_t per = env.opt.Count(400000, 4000) / uint32_t(k);
    const uint64_t total = uint64_t(per) * uint64_t(k);
    for (int run = -1; run < env.opt.runs; ++run) {
        if (k == 1 && !env.floors.Cross(per, run >= 0)) return;
        SendCheck check(size_t(k), link.ClientId());
        std::atomic<bool> stop{false};
        std::atomic<int64_t> tEnd{0};
        std::atomic<uint64_t> refused{0};
        const int64_t deadline = DeadlineIn(kRunLimitS);
        int64_t t0 = 0;
        {
            ThreadGroup group(k + 1, [&](int i) {
                if (i < k)
                    refused += SendPackets(link.Link(), i, per, false, stop);
                else
                    tEnd.store(DrainSent(link.Out(), check, total, stop, deadline));
            });
            t0 = group.Release();
        }
        if (check.delivered != total || check.bad != 0) {
            env.report.Fail(id + ": " + std::to_string(check.delivered) + " of " + std::to_string(total) +
                            " drained, " + std::to_string(check.bad) + " bad or out of order");
            return;
        }
        if (run >= 0) {
            f.runs.push_back(TicksToNs(tEnd.load() - t0) / double(total));
            r.runs.push_back(double(refused.load()) / double(total));
        }
    }
}

// Waits until the server has drained `packets` data packets; false on timeout.
bool WaitDrained(Env& env, uint64_t packets, DrainCounts& counts) {
    WaitFor(
        [&] {
            counts = ReadDrain(env.control);
            return counts.ok && counts.packets >= packets;
        },
        kDrainLimitMs);
    return counts.ok && counts.packets == packets;
}

// k sender threads; the reference server drains (count mode: nothing formatted
// per packet). One checked round first, in which the server checks every
// packet's bytes and order per sender.
void SendToServer(Env& env, int k) {
    const std::string id = "send.server" + std::to_string(k);
    Figure& f = env.report.Add(id, "SendData",
                               "reference server drains, " + std::to_string(k) + (k == 1 ? " thread" : " threads"),
                               "ns/packet", false);
    Figure& r = env.report.Add(id + ".refused", "SendData",
                               "  refusals from a full ring (" + std::to_string(k) + (k == 1 ? " thread)" : " threads)"),
                               "per packet", false);
    BenchLink& link = *env.link;
    {
        const uint32_t per = env.opt.Count(5000, 500);
        env.control->SetDrainMode(LONG(localserver::DrainMode::Check));
        std::atomic<bool> stop{false};
        {
            ThreadGroup group(k, [&](int i) { SendPackets(link.Link(), i, per, true, stop); });
            group.Release();
        }
        DrainCounts counts;
        if (!WaitDrained(env, uint64_t(per) * uint64_t(k), counts) || counts.bad != 0 || counts.order != 0 ||
            counts.senders != uint64_t(k)) {
            env.report.Fail(id + ": the server's check of what arrived failed: " + counts.text);
            return;
        }
    }
    const uint32_t per = env.opt.Count(400000, 4000) / uint32_t(k);
    const uint64_t total = uint64_t(per) * uint64_t(k);
    for (int run = -1; run < env.opt.runs; ++run) {
        env.control->SetDrainMode(LONG(localserver::DrainMode::Count));
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> refused{0};
        std::vector<int64_t> finished(size_t(k), 0);
        int64_t t0 = 0;
        {
            ThreadGroup group(k, [&](int i) {
                refused += SendPackets(link.Link(), i, per, false, stop);
                finished[size_t(i)] = Ticks();
            });
            t0 = group.Release();
        }
        DrainCounts counts;
        if (!WaitDrained(env, total, counts) || counts.bytes != total * kBenchLength) {
            env.report.Fail(id + ": the server drained " + counts.text + ", expected packets=" +
                            std::to_string(total));
            return;
        }
        if (run >= 0) {
            const int64_t tEnd = *std::max_element(finished.begin(), finished.end());
            f.runs.push_back(TicksToNs(tEnd - t0) / double(total));
            r.runs.push_back(double(refused.load()) / double(total));
        }
    }
}

}  // namespace

void RunSendData(Env& env) {
    std::printf("SendData ...\n");
    std::fflush(stdout);
    // The benchmark reads the outgoing ring itself: the server leaves it alone.
    env.control->SetReading(0);
    SendLocal(env);
    SendCross(env, 1);
    SendCross(env, 4);
    env.control->SetReading(1);
    SendToServer(env, 1);
    SendToServer(env, 4);
    env.control->SetDrainMode(LONG(localserver::DrainMode::Count));
}

}  // namespace bench
