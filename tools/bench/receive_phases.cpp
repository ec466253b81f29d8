// The receive path: a writer in this process plays the local server and writes
// into a link's incoming ring (the same ring and memory the server would use);
// the DLL's receive thread delivers to a sink that checks order and marks.
#include <algorithm>
#include <cstdio>

#include "phases.h"
#include "shm/timing.h"

namespace bench {

using serverlink::ShmMessage;

namespace {

std::string Us(double v) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f", v);
    return text;
}

// Latency samples in microseconds, sorted.
std::vector<double> SortedUs(const std::vector<int64_t>& ticks, size_t n) {
    std::vector<double> us;
    us.reserve(n);
    for (size_t i = 0; i < n && i < ticks.size(); ++i) us.push_back(TicksToUs(ticks[i]));
    std::sort(us.begin(), us.end());
    return us;
}

// The cumulative distribution of one scenario, for the latency chart.
void AddDistribution(Report& report, Series*& series, const std::string& scenario, const std::vector<double>& sorted) {
    if (series == nullptr) series = &report.AddSeries("latency.csv", "scenario,percentile,latency_us");
    static const double kPoints[] = {0,  1,  2,  5,  10, 15, 20, 25, 30, 35, 40, 45,   50,   55,   60,  65,
                                     70, 75, 80, 85, 90, 92, 94, 95, 96, 97, 98, 99, 99.5, 99.9, 100};
    for (double p : kPoints) series->rows.push_back(scenario + "," + Us(p) + "," + Us(Percentile(sorted, p)));
}

struct LatencyFigures {
    Figure* p50;
    Figure* p99;
    Figure* max;
};

LatencyFigures AddLatencyFigures(Report& report, const std::string& id, const std::string& what) {
    return {&report.Add(id + ".p50", "latency", what + ": p50", "us", false),
            &report.Add(id + ".p99", "latency", what + ": p99", "us", false),
            &report.Add(id + ".max", "latency", what + ": max", "us", false)};
}

void PushLatency(LatencyFigures& f, const std::vector<double>& sorted) {
    f.p50->runs.push_back(Percentile(sorted, 50));
    f.p99->runs.push_back(Percentile(sorted, 99));
    f.max->runs.push_back(Percentile(sorted, 100));
}

// One writer thread, flat out; the receive thread delivers. `stamp`: record
// latencies into `samples` (at least n entries).
bool FlatOutRun(Env& env, Tally& tally, uint32_t n, bool stamp, std::vector<int64_t>* samples, const char* what) {
    BenchLink& link = *env.link;
    if (stamp)
        tally.Reset(n / 10, n, samples->data(), uint32_t(samples->size()));
    else
        tally.Reset(n / 10, n);
    link.Sink().expected = 0;
    std::atomic<bool> stop{false};
    ThreadGroup group(1, [&](int) { WriteRecords(link.In(), 0, n, 0, 0, stamp, stop); });
    group.Release();
    return WaitDelivered(env, tally, n, stop, what);
}

void ReceiveFlatOut(Env& env, Tally& tally) {
    Figure& f = env.report.Add("recv.rate", "receive", "writer flat out into the incoming ring, sink checks each",
                               "records/s", true);
    const uint32_t n = env.opt.Count(400000, 4000);
    for (int run = -1; run < env.opt.runs; ++run) {
        if (!env.floors.Reader(n, run >= 0)) return;
        if (!FlatOutRun(env, tally, n, false, nullptr, "receive flat out")) return;
        if (run >= 0) f.runs.push_back(tally.Rate());
    }
}

void LatencyFlatOut(Env& env, Tally& tally, Series*& dist) {
    LatencyFigures f = AddLatencyFigures(env.report, "lat.flat", "flat out");
    const uint32_t n = env.opt.Count(100000, 2000);
    std::vector<int64_t> samples(n);
    std::vector<double> pooled;
    for (int run = 0; run < env.opt.runs; ++run) {
        if (!FlatOutRun(env, tally, n, true, &samples, "flat-out latency")) return;
        const std::vector<double> sorted = SortedUs(samples, n);
        PushLatency(f, sorted);
        pooled.insert(pooled.end(), sorted.begin(), sorted.end());
    }
    std::sort(pooled.begin(), pooled.end());
    AddDistribution(env.report, dist, "flat out", pooled);
}

// How long the receive thread's idle sleep lasts here.
void IdleSleep(Env& env) {
    const std::string what = "one idle sleep, Sleep(" + std::to_string(serverlink::kIdleSleepMs) + ")";
    Figure& p50 = env.report.Add("sleep.p50", "latency", what + ": p50", "us", false);
    Figure& p99 = env.report.Add("sleep.p99", "latency", what + ": p99", "us", false);
    const int n = int(env.opt.Count(100, 20));
    for (int run = 0; run < env.opt.runs; ++run) {
        std::vector<double> us;
        std::thread t([&] {
            for (int i = 0; i < n; ++i) {
                const int64_t t0 = Ticks();
                Sleep(serverlink::kIdleSleepMs);
                us.push_back(TicksToUs(Ticks() - t0));
            }
        });
        t.join();
        std::sort(us.begin(), us.end());
        p50.runs.push_back(Percentile(us, 50));
        p99.runs.push_back(Percentile(us, 99));
    }
}

// Single records on an idle link, at random moments 3..20 ms apart.
void LatencyIsolated(Env& env, Tally& tally, Series*& dist) {
    LatencyFigures f = AddLatencyFigures(env.report, "lat.isolated", "isolated events, idle link");
    BenchLink& link = *env.link;
    const uint32_t n = env.opt.Count(100, 10);
    std::vector<int64_t> samples(n);
    std::vector<double> pooled;
    uint32_t rnd = 12345;
    for (int run = 0; run < env.opt.runs; ++run) {
        tally.Reset(0, n, samples.data(), n);
        link.Sink().expected = 0;
        std::atomic<bool> stop{false};
        {
            ThreadGroup group(1, [&](int) {
                for (uint32_t i = 0; i < n && !stop.load(); ++i) {
                    rnd = rnd * 1103515245u + 12345u;
                    Sleep(3 + (rnd >> 16) % 18);
                    WriteRecords(link.In(), i, 1, 0, 0, true, stop);
                    // The next one only once this one has arrived: each is alone on the link.
                    while (tally.delivered.load() < i + 1 && !stop.load()) Sleep(1);
                }
            });
            group.Release();
            if (!WaitDelivered(env, tally, n, stop, "isolated events")) return;
        }
        const std::vector<double> sorted = SortedUs(samples, n);
        PushLatency(f, sorted);
        pooled.insert(pooled.end(), sorted.begin(), sorted.end());
    }
    std::sort(pooled.begin(), pooled.end());
    AddDistribution(env.report, dist, "isolated", pooled);
}

// One burst of a paced writer after an idle moment. Returns false on failure;
// else adds the delivered rate and the latencies of this burst.
struct PacedBurst {
    double delivered = 0;  // records per second
    uint64_t refused = 0;  // full-ring refusals (Drop: records lost)
    std::vector<double> sortedUs;
};

bool PacedRun(Env& env, Tally& tally, double rate, uint32_t n, FullRing full, std::vector<int64_t>& samples,
              PacedBurst& out) {
    BenchLink& link = *env.link;
    const int64_t interval = UsToTicks(1e6 / rate);
    Sleep(50);  // an idle moment: the receive thread is back to sleeping between passes
    tally.Reset(0, n, samples.data(), n);
    tally.gaps = full == FullRing::Drop;
    link.Sink().expected = 0;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> refused{0};
    const int64_t start = Ticks() + UsToTicks(1000);
    {
        ThreadGroup group(1, [&](int) { refused = WriteRecords(link.In(), 0, n, start, interval, true, stop, full); });
        group.Release();
    }
    const uint32_t written = n - (full == FullRing::Drop ? uint32_t(refused.load()) : 0);
    const std::string what = "paced " + std::to_string(int(rate)) + "/s";
    if (!WaitFor([&] { return tally.delivered.load() >= written; }, kWaitLimitMs) ||
        tally.delivered.load() != written || tally.bad.load() != 0) {
        env.report.Fail(what + ": " + std::to_string(tally.delivered.load()) + " of " + std::to_string(written) +
                        " delivered, " + std::to_string(tally.bad.load()) + " out of order or torn");
        return false;
    }
    out.refused = refused.load();
    if (full == FullRing::Wait)
        out.delivered = double(n) * 1e9 / TicksToNs(tally.tEnd.load() - start);
    else
        out.delivered = rate * written / n;  // the share of the offered records that got through
    out.sortedUs = SortedUs(samples, written);
    return true;
}

// Writers offering a fixed rate in bursts, each after an idle moment: one that
// keeps what finds the ring full and retries at once, one that drops it.
void Paced(Env& env, Tally& tally, Series*& dist) {
    Series& curve = env.report.AddSeries(
        "paced.csv",
        "offered,backlog_delivered,backlog_min,backlog_max,backlog_p50_us,backlog_p99_us,backlog_max_us,"
        "drop_delivered,drop_min,drop_max,drop_p99_us,drop_lost_share");
    const std::vector<double> rates = env.opt.quick
                                          ? std::vector<double>{10000, 50000, 200000}
                                          : std::vector<double>{5000, 10000, 20000, 50000, 100000, 200000, 500000};
    const double burstS = env.opt.Scale(0.1, 0.02);
    for (double rate : rates) {
        const bool inTable = rate == 10000 || rate == 50000 || rate == 200000;
        const std::string tag = std::to_string(int(rate / 1000)) + "k";
        Figure sWait, sDrop, sP50, sP99, sMax, sDropP99;
        auto figure = [&](Figure& scratch, const std::string& id, const std::string& phase, const std::string& name,
                          const std::string& unit, bool higher) -> Figure& {
            return inTable ? env.report.Add(id, phase, name, unit, higher) : scratch;
        };
        Figure& waitRate = figure(sWait, "paced." + tag + ".rate", "paced",
                                  "offered " + tag + "/s after idle, writer keeps a backlog: delivered", "records/s",
                                  true);
        Figure& p99 = figure(sP99, "paced." + tag + ".p99", "paced", "  same: latency p99", "us", false);
        Figure& dropRate = figure(sDrop, "paced." + tag + ".drop", "paced",
                                  "offered " + tag + "/s after idle, writer drops on a full ring: delivered",
                                  "records/s", true);
        const uint32_t n = std::max<uint32_t>(uint32_t(rate * burstS), 100);
        std::vector<int64_t> samples(n);
        std::vector<double> pooled, dropPooled;
        uint64_t lost = 0;
        for (int run = 0; run < env.opt.runs; ++run) {
            PacedBurst b;
            if (!PacedRun(env, tally, rate, n, FullRing::Wait, samples, b)) return;
            waitRate.runs.push_back(b.delivered);
            p99.runs.push_back(Percentile(b.sortedUs, 99));
            sP50.runs.push_back(Percentile(b.sortedUs, 50));
            sMax.runs.push_back(Percentile(b.sortedUs, 100));
            pooled.insert(pooled.end(), b.sortedUs.begin(), b.sortedUs.end());
            if (!PacedRun(env, tally, rate, n, FullRing::Drop, samples, b)) return;
            dropRate.runs.push_back(b.delivered);
            lost += b.refused;
            dropPooled.insert(dropPooled.end(), b.sortedUs.begin(), b.sortedUs.end());
        }
        std::sort(pooled.begin(), pooled.end());
        std::sort(dropPooled.begin(), dropPooled.end());
        if (inTable) AddDistribution(env.report, dist, "paced " + tag + "/s", pooled);
        char row[320];
        std::snprintf(row, sizeof(row), "%.0f,%.0f,%.0f,%.0f,%.2f,%.2f,%.2f,%.0f,%.0f,%.0f,%.2f,%.4f", rate,
                      waitRate.Median(), waitRate.Min(), waitRate.Max(), Percentile(pooled, 50),
                      Percentile(pooled, 99), Percentile(pooled, 100), dropRate.Median(), dropRate.Min(),
                      dropRate.Max(), Percentile(dropPooled, 99), double(lost) / double(n) / env.opt.runs);
        curve.rows.push_back(row);
    }
}

}  // namespace

// Waits until the tally holds `n` records; on timeout stops the writer and fails.
bool WaitDelivered(Env& env, Tally& tally, uint32_t n, std::atomic<bool>& stop, const std::string& what) {
    if (WaitFor([&] { return tally.delivered.load() >= n; }, kWaitLimitMs) && tally.delivered.load() == n &&
        tally.bad.load() == 0)
        return true;
    stop.store(true);
    env.report.Fail(what + ": " + std::to_string(tally.delivered.load()) + " of " + std::to_string(n) +
                    " delivered, " + std::to_string(tally.bad.load()) + " out of order or torn");
    return false;
}

void RunReceive(Env& env) {
    std::printf("receive path, latency, paced writers ...\n");
    std::fflush(stdout);
    Tally tally;
    env.link->Sink().tally = &tally;
    Series* dist = nullptr;
    ReceiveFlatOut(env, tally);
    LatencyFlatOut(env, tally, dist);
    IdleSleep(env);
    LatencyIsolated(env, tally, dist);
    Paced(env, tally, dist);
    // Nothing is in flight any more: every run waited for all it wrote.
    env.link->Sink().tally = nullptr;
}

}  // namespace bench
