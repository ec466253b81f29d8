// Plain COM: one call per message (PostBlock with the same 1280 bytes), the
// peer a user would otherwise pick; and the forwarding calls from the owner
// thread and from other threads. The reference server is one STA thread, so
// every cross-process call is served by that one thread.
#include <cstdio>

#include "link/mta.h"
#include "link/server_connection.h"
#include "localserver.h"
#include "phases.h"

namespace bench {

namespace {

// A run of the parts of a foreign call that takes longer has hung.
constexpr DWORD kPartsLimitMs = 300000;

// Calls fn on this (the owner) thread for `seconds`; calls per second.
double OwnerRate(const std::function<bool()>& fn, double seconds, uint64_t& failures) {
    const int64_t t0 = Ticks();
    const int64_t end = t0 + UsToTicks(seconds * 1e6);
    uint64_t calls = 0;
    int64_t now = t0;
    while (now < end) {
        if (!fn()) ++failures;
        ++calls;
        now = Ticks();
    }
    return double(calls) * 1e9 / TicksToNs(now - t0);
}

void PostBlockPeer(Env& env) {
    Figure& f = env.report.Add("com.postblock", "COM", "PostBlock of 1280 bytes, one call per message",
                               "messages/s", true);
    IServerLink* link = env.link->Link();
    std::vector<BYTE> block(kBenchLength);
    uint32_t seq = 0;
    const double seconds = env.opt.Scale(1.0, 0.1);
    for (int run = -1; run < env.opt.runs; ++run) {
        uint64_t failures = 0;
        const double rate = OwnerRate(
            [&] {
                Mark(block.data(), seq++, 0);
                return link->PostBlock(1, block.data(), kBenchLength) == S_OK;
            },
            seconds, failures);
        env.control->ClearLog();  // the server logs every call
        if (failures != 0) {
            env.report.Fail("PostBlock: " + std::to_string(failures) + " calls failed");
            return;
        }
        if (run >= 0) f.runs.push_back(rate);
    }
}

// QueryA from `threads` threads other than the owner, each in its own STA as a
// client thread would be (`model` COINIT_APARTMENTTHREADED), or outside COM (0).
double OtherThreadsRate(IServerLink* link, int threads, DWORD model, double seconds, uint64_t& failures) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> calls{0}, failed{0};
    int64_t t0 = 0;
    {
        ThreadGroup group(threads, [&](int) {
            if (model != 0) CoInitializeEx(nullptr, model);
            uint64_t mine = 0, bad = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                if (link->QueryA() != S_OK) ++bad;
                ++mine;
            }
            calls += mine;
            failed += bad;
            if (model != 0) CoUninitialize();
        });
        t0 = group.Release();
        WaitFor([&] { return Ticks() - t0 >= UsToTicks(seconds * 1e6); }, DWORD(seconds * 1000) + kWaitLimitMs);
        stop.store(true);
    }
    // Calls still running at the stop count, and so does the time they took.
    const int64_t t1 = Ticks();
    failures += failed.load();
    return double(calls.load()) * 1e9 / TicksToNs(t1 - t0);
}

void Forwarding(Env& env) {
    IServerLink* link = env.link->Link();
    const double seconds = env.opt.Scale(1.0, 0.1);
    {
        Figure& f = env.report.Add("fwd.owner", "forwarding", "QueryA from the owner thread", "calls/s", true);
        for (int run = -1; run < env.opt.runs; ++run) {
            uint64_t failures = 0;
            const double rate = OwnerRate([&] { return link->QueryA() == S_OK; }, seconds, failures);
            env.control->ClearLog();
            if (failures != 0) {
                env.report.Fail("QueryA from the owner thread: " + std::to_string(failures) + " calls failed");
                return;
            }
            if (run >= 0) f.runs.push_back(rate);
        }
    }
    struct Kind {
        std::string id;
        int threads;
        DWORD model;
        std::string name;
    };
    const Kind kinds[] = {
        {"fwd.others1", 1, COINIT_APARTMENTTHREADED, "QueryA from 1 other thread in its own apartment"},
        {"fwd.others4", 4, COINIT_APARTMENTTHREADED, "QueryA from 4 other threads in their own apartments, all together"},
        {"fwd.others8", 8, COINIT_APARTMENTTHREADED, "QueryA from 8 other threads in their own apartments, all together"},
        {"fwd.outside1", 1, 0, "QueryA from 1 other thread outside COM"},
        {"fwd.outside4", 4, 0, "QueryA from 4 other threads outside COM, all together"},
    };
    for (const Kind& kind : kinds) {
        Figure& f = env.report.Add(kind.id, "forwarding", kind.name, "calls/s", true);
        for (int run = -1; run < env.opt.runs; ++run) {
            uint64_t failures = 0;
            const double rate = OtherThreadsRate(link, kind.threads, kind.model, seconds, failures);
            env.control->ClearLog();
            if (failures != 0) {
                env.report.Fail("QueryA from other threads: " + std::to_string(failures) + " calls failed");
                return;
            }
            if (run >= 0) f.runs.push_back(rate);
        }
    }
}

// Where a call from another thread in its own apartment spends its time: the
// hop to a pool thread in the MTA and back (an empty job through the DLL's own
// RunInMta), and the call through a proxy held in the MTA; timed one by one.
void ForeignCallParts(Env& env) {
    Figure& hop = env.report.Add("fwd.part.hop", "forwarding",
                                 "  per call from another apartment: to a pool thread and back", "ms", false);
    Figure& call = env.report.Add("fwd.part.call", "forwarding", "  per call from another thread: the call", "ms",
                                  false);
    const int n = int(env.opt.Count(20, 3));
    for (int run = 0; run < env.opt.runs; ++run) {
        double hopMs = 0, callMs = 0;
        int failed = 0;
        std::atomic<bool> done{false};
        std::thread t([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            {
                serverlink::ILocalServerPtr server;  // released in this apartment, before it ends
                if (FAILED(CoCreateInstance(CLSID_LocalServer, nullptr, CLSCTX_LOCAL_SERVER, IID_ILocalServer,
                                            reinterpret_cast<void**>(&server))))
                    ++failed;
                for (int i = 0; server && i < n; ++i) {
                    LONG value = 0;
                    const int64_t t0 = Ticks();
                    if (FAILED(server->QueryA(0, &value))) ++failed;
                    callMs += TicksToUs(Ticks() - t0) / 1000;
                }
            }
            // The hop is timed from an apartment of its own, while this
            // thread keeps the MTA alive.
            std::thread([&] {
                CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
                auto nothing = [] {};
                for (int i = 0; i < n; ++i) {
                    const int64_t t0 = Ticks();
                    if (!serverlink::RunInMta(nothing)) ++failed;
                    hopMs += TicksToUs(Ticks() - t0) / 1000;
                }
                CoUninitialize();
            }).join();
            CoUninitialize();
            done.store(true);
        });
        WaitFor([&] { return done.load(); }, kPartsLimitMs);
        t.join();
        env.control->ClearLog();
        if (failed != 0) {
            env.report.Fail("the parts of a call from another thread: " + std::to_string(failed) + " failed");
            break;
        }
        hop.runs.push_back(hopMs / n);
        call.runs.push_back(callMs / n);
    }
}

}  // namespace

void RunCom(Env& env) {
    std::printf("COM calls ...\n");
    std::fflush(stdout);
    PostBlockPeer(env);
    Forwarding(env);
    ForeignCallParts(env);
}

}  // namespace bench
