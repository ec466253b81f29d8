// bench.exe: the data paths of serverlink.dll against what the ring code
// allows on this machine, against one COM call per message, and the design's
// own ceilings. Run through scripts/bench.sh, which builds, registers, runs,
// and draws the charts.
//
//   bench.exe [--quick] [--runs N] [--out DIR] [--only PHASES] [--spins N]
//
// --quick uses tiny counts (the smoke test); --spins N makes a side that finds
// the ring full or empty spin N times before it yields (default 1). Writes bench.csv, ratios.csv,
// latency.csv, paced.csv, scale.csv and table.md into DIR. Exits 0 when every
// check of what was moved passed.
#include <windows.h>
#include <objbase.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "drain_mode.h"
#include "phases.h"

namespace bench {

namespace {

void AddRatio(Report& report, const std::string& name, const std::string& formula, double value,
              const std::string& target, bool met) {
    Ratio r;
    r.name = name;
    r.formula = formula;
    r.value = value;
    r.target = target;
    r.met = !std::isnan(value) && met;
    report.AddRatio(r);
}

// The phases that need the reference server and the DLL. Every interface is
// released before it returns, so before CoUninitialize.
void RunWithServer(const Options& opt, Report& report, Floors& floors) {
    ILocalServerControlPtr control;
    if (FAILED(CoCreateInstance(CLSID_LocalServerControl, nullptr, CLSCTX_LOCAL_SERVER, IID_ILocalServerControl,
                                reinterpret_cast<void**>(&control)))) {
        report.Fail("the reference server's control could not be created (is localserver.exe registered?)");
        return;
    }
    control->Reset();
    control->SetDrainMode(LONG(localserver::DrainMode::Count));
    std::unique_ptr<BenchLink> link = BenchLink::Make(control, report);
    if (link != nullptr && link->SignOn()) {
        Env env{opt, report, control, link.get(), floors};
        // The results so far are written after every phase: a process that
        // dies in a later one (the platform's marshalling among threads is
        // the likeliest place) still leaves them.
        auto phase = [&](const char* name, void (*run)(Env&)) {
            if (!opt.Runs(name)) return;
            run(env);
            report.Write(opt.outDir, opt);
        };
        phase("send", RunSendData);
        phase("receive", RunReceive);
        link->SignOff();
        phase("scale", RunScale);
        phase("com", RunCom);  // needs the link connected, not signed on
    }
    link.reset();
    control->Reset();
}

}  // namespace

void MakeRatios(Report& r) {
    const double local = r.Median("send.local") / r.Median("floor.a");
    AddRatio(r, "SendData local vs floor (a)", "send.local / floor.a", local, "<= 1.25x", local <= 1.25);
    const double cross = r.Median("send.cross1") / r.Median("floor.b");
    AddRatio(r, "SendData cross-core vs floor (b)", "send.cross1 / floor.b", cross, "<= 1.10x", cross <= 1.10);
    const double four = r.Median("send.cross4") / r.Median("send.cross1");
    AddRatio(r, "SendData 4 threads vs 1, per packet", "send.cross4 / send.cross1", four, "<= 1.50x", four <= 1.5);
    const double server = r.Median("send.server1") / r.Median("floor.b");
    AddRatio(r, "SendData, server draining, vs floor (b)", "send.server1 / floor.b", server, "<= 1.10x",
             server <= 1.10);
    const double serverFour = r.Median("send.server4") / r.Median("send.server1");
    AddRatio(r, "SendData 4 threads vs 1, server draining", "send.server4 / send.server1", serverFour, "<= 1.50x",
             serverFour <= 1.5);
    const double receive = r.Median("recv.rate") / r.Median("floor.c");
    AddRatio(r, "Receive rate vs floor (c)", "recv.rate / floor.c", receive, ">= 0.80x", receive >= 0.8);
    const double capacity = r.Median("recv.burst") / r.Median("floor.cburst");
    AddRatio(r, "Receive capacity vs bare reader, full ring", "recv.burst / floor.cburst", capacity, ">= 0.80x",
             capacity >= 0.8);
    const double isolated = r.Median("lat.isolated.p99") / (r.Median("sleep.p99") + r.Median("scale.pass.1"));
    AddRatio(r, "Isolated events p99 vs one idle sleep + one pass", "lat.isolated.p99 / (sleep.p99 + scale.pass.1)",
             isolated, "<= 1.00x", isolated <= 1.0);
    const double com = (1e9 / r.Median("send.server1")) / r.Median("com.postblock");
    AddRatio(r, "Ring (SendData to the server) vs one COM call per message", "(1e9 / send.server1) / com.postblock",
             com, ">= 1000x", com >= 1000);
    const double scale = r.Median("scale.rate.32") / r.Median("scale.rate.1");
    AddRatio(r, "Delivery rate, 32 objects vs 1", "scale.rate.32 / scale.rate.1", scale,
             ">= 1.00x (5% noise)", scale >= 0.95);
    const double full = r.Median("scale.burst.32") / r.Median("recv.burst");
    AddRatio(r, "Draining full rings, 32 objects vs 1", "scale.burst.32 / recv.burst", full, ">= 1.00x (5% noise)",
             full >= 0.95);
}

}  // namespace bench

using namespace bench;

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            opt.quick = true;
            opt.runs = 2;
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            opt.runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--spins") == 0 && i + 1 < argc) {
            Backoff::kSpins = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            opt.only = argv[++i];
        } else if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            opt.outDir = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: bench.exe [--quick] [--runs N] [--out DIR] [--only costs,send,receive,com,scale] [--spins N]\n");
            return 2;
        }
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 3;
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    std::printf("serverlink benchmark: %lu processors, performance counter at %lld Hz, %d runs per figure%s\n",
                static_cast<unsigned long>(si.dwNumberOfProcessors), static_cast<long long>(freq.QuadPart), opt.runs,
                opt.quick ? " (quick)" : "");
    std::fflush(stdout);

    Report report;
    Floors floors(report);
    if (opt.Runs("costs")) RunCosts(opt, report);

    RunWithServer(opt, report, floors);
    MakeRatios(report);
    report.PrintTable();
    if (!report.Write(opt.outDir, opt)) report.Fail("the result files could not be written to " + opt.outDir);
    CoUninitialize();
    if (!report.Failures().empty()) {
        std::printf("bench: %zu checks FAILED\n", report.Failures().size());
        return 1;
    }
    std::printf("bench: all checks passed\n");
    return 0;
}
