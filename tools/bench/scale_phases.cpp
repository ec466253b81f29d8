// Scale: 1 to 32 link objects signed on in this process, one receive thread
// for all of them. Delivery rate with a writer filling every incoming ring,
// and the cost of one receive pass over full rings.
#include <cstdio>

#include "phases.h"

namespace bench {

using serverlink::ShmMessage;

namespace {

constexpr uint32_t kSlots = serverlink::kRingSlots;

// One writer thread, round robin over the rings, each getting perRing records.
void WriteRoundRobin(const std::vector<serverlink::CShmQueue*>& rings, uint32_t perRing, const std::atomic<bool>& stop) {
    ShmMessage msg;
    msg.type = serverlink::kMsgPeerData;
    msg.peerId = kDataPeer;
    msg.length = kBenchLength;
    std::vector<uint32_t> next(rings.size(), 0);
    uint64_t remaining = uint64_t(perRing) * rings.size();
    Backoff backoff;
    while (remaining != 0) {
        bool wrote = false;
        for (size_t r = 0; r < rings.size(); ++r) {
            if (next[r] == perRing) continue;
            Mark(msg.payload, next[r], 0);
            if (!rings[r]->Write(msg)) continue;
            ++next[r];
            --remaining;
            wrote = true;
        }
        if (wrote) continue;
        if (stop.load(std::memory_order_relaxed)) return;
        backoff.Wait();
    }
}

// One gated burst: adds its drain time to us; false (and a failure) if it broke.
bool GatedBurst(Env& env, std::vector<std::unique_ptr<BenchLink>>& links,
                const std::vector<serverlink::CShmQueue*>& rings, Tally& tally, HANDLE release, double& us) {
    const size_t objects = rings.size();
    const std::string tag = std::to_string(objects);
    const uint32_t n = kSlots * uint32_t(objects);
    tally.Reset(0, n);
    for (size_t i = 0; i < objects; ++i) links[i]->Sink().expected = 0;
    ShmMessage gate;
    gate.type = serverlink::kMsgPeerData;
    gate.peerId = kGatePeer;
    std::atomic<bool> stop{false};
    if (!rings[0]->Write(gate) || !WaitFor([&] { return tally.gated.load(); }, kWaitLimitMs)) {
        env.report.Fail(tag + " objects: the gate record did not arrive");
        SetEvent(release);
        return false;
    }
    bool filled = true;
    ShmMessage msg;
    msg.type = serverlink::kMsgPeerData;
    msg.peerId = kDataPeer;
    msg.length = kBenchLength;
    for (serverlink::CShmQueue* ring : rings) {
        for (uint32_t s = 0; s < kSlots; ++s) {
            Mark(msg.payload, s, 0);
            filled = filled && ring->Write(msg);
        }
    }
    SetEvent(release);
    if (!filled) {
        env.report.Fail(tag + " objects: a ring held by the gate was not free to fill");
        return false;
    }
    if (!WaitDelivered(env, tally, n, stop, tag + " objects, full rings")) return false;
    us += TicksToUs(tally.tEnd.load() - tally.tStart.load());
    return true;
}

void MeasureObjects(Env& env, std::vector<std::unique_ptr<BenchLink>>& links, size_t objects, Series& series) {
    const std::string tag = std::to_string(objects);
    const bool inTable = objects == 1 || objects == 8 || objects == 32;
    Figure scratchRate, scratchPass;
    Figure& rate = inTable ? env.report.Add("scale.rate." + tag, "scale",
                                            tag + (objects == 1 ? " object" : " objects") +
                                                ": delivery rate, writer flat out",
                                            "records/s", true)
                           : scratchRate;
    Figure& pass = inTable ? env.report.Add("scale.pass." + tag, "scale",
                                            tag + (objects == 1 ? " object" : " objects") +
                                                ": one receive pass over full rings",
                                            "us", false)
                           : scratchPass;
    Figure scratchBurst;
    Figure& burst = objects == 1    ? env.report.Add("recv.burst", "receive",
                                                     "receive thread draining a ring filled while it was held",
                                                     "records/s", true)
                    : objects == 32 ? env.report.Add("scale.burst.32", "scale",
                                                     "32 objects: receive thread draining full rings", "records/s",
                                                     true)
                                    : scratchBurst;

    Tally tally;
    const serverlink::CHandle release(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    tally.release = release.Get();
    std::vector<serverlink::CShmQueue*> rings;
    for (size_t i = 0; i < objects; ++i) {
        if (!links[i]->SignOn()) return;
        links[i]->Sink().tally = &tally;
        rings.push_back(&links[i]->In());
    }

    // Delivery rate: the writer keeps every ring as full as it can.
    const uint32_t perRing = env.opt.Count(400000, 4000) / uint32_t(objects);
    const uint32_t total = perRing * uint32_t(objects);
    for (int run = -1; run < env.opt.runs; ++run) {
        tally.Reset(total / 10, total);
        for (size_t i = 0; i < objects; ++i) links[i]->Sink().expected = 0;
        std::atomic<bool> stop{false};
        ThreadGroup group(1, [&](int) { WriteRoundRobin(rings, perRing, stop); });
        group.Release();
        if (!WaitDelivered(env, tally, total, stop, tag + " objects, flat out")) break;
        if (run >= 0) rate.runs.push_back(tally.Rate());
    }

    // Pass cost: the receive thread is held at a gate record while every ring
    // is filled, then drains them, one record per ring per pass.
    const int rounds = int(env.opt.Count(10, 2));
    for (int run = 0; run < env.opt.runs; ++run) {
        if (objects == 1 && !env.floors.Burst(rounds, true)) break;
        double us = 0;
        bool ok = true;
        for (int round = 0; round < rounds && ok; ++round) {
            ok = GatedBurst(env, links, rings, tally, release.Get(), us);
        }
        if (!ok) break;
        pass.runs.push_back(us / kSlots / rounds);
        burst.runs.push_back(double(kSlots) * objects * rounds * 1e6 / us);
    }

    char row[200];
    std::snprintf(row, sizeof(row), "%zu,%.0f,%.0f,%.0f,%.3f,%.3f,%.3f,%.0f", objects, rate.Median(), rate.Min(),
                  rate.Max(), pass.Median(), pass.Min(), pass.Max(), burst.Median());
    series.rows.push_back(row);
    for (size_t i = 0; i < objects; ++i) links[i]->SignOff();
}

}  // namespace

void RunScale(Env& env) {
    std::printf("scale ...\n");
    std::fflush(stdout);
    std::vector<std::unique_ptr<BenchLink>> links;
    for (int i = 0; i < 32; ++i) {
        links.push_back(BenchLink::Make(env.control, env.report));
        if (links.back() == nullptr) return;
    }
    Series& series = env.report.AddSeries(
        "scale.csv", "objects,rate_median,rate_min,rate_max,pass_us_median,pass_us_min,pass_us_max,burst_rate");
    const std::vector<size_t> counts =
        env.opt.quick ? std::vector<size_t>{1, 8, 32} : std::vector<size_t>{1, 2, 4, 8, 16, 32};
    for (size_t objects : counts) MeasureObjects(env, links, objects, series);
}

}  // namespace bench
