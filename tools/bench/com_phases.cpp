// Plain COM: one call per message (PostBlock with the same 1280 bytes), the
// peer a user would otherwise pick; and the forwarding calls from the owner
// thread and from other threads. The reference server is one STA thread, so
// every cross-process call, including the reference counting of the proxy
// that a non-owner thread unmarshals per call, is served by that one thread.
#include <cstdio>

#include "localserver.h"
#include "phases.h"

namespace bench {

namespace {

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
// client thread would be.
double OtherThreadsRate(IServerLink* link, int threads, double seconds, uint64_t& failures) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> calls{0}, failed{0};
    int64_t t0 = 0;
    {
        ThreadGroup group(threads, [&](int) {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            uint64_t mine = 0, bad = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                if (link->QueryA() != S_OK) ++bad;
                ++mine;
            }
            calls += mine;
            failed += bad;
            CoUninitialize();
        });
        t0 = group.Release();
        WaitFor([&] { return Ticks() - t0 >= UsToTicks(seconds * 1e6); }, DWORD(seconds * 1000) + 60000);
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
    for (int threads : {1, 4, 8}) {
        Figure& f = env.report.Add("fwd.others" + std::to_string(threads), "forwarding",
                                   "QueryA from " + std::to_string(threads) +
                                       (threads == 1 ? " other thread" : " other threads") + ", all together",
                                   "calls/s", true);
        for (int run = -1; run < env.opt.runs; ++run) {
            uint64_t failures = 0;
            const double rate = OtherThreadsRate(link, threads, seconds, failures);
            env.control->ClearLog();
            if (failures != 0) {
                env.report.Fail("QueryA from other threads: " + std::to_string(failures) + " calls failed");
                return;
            }
            if (run >= 0) f.runs.push_back(rate);
        }
    }
}

// Where a call from another thread spends its time: the steps the DLL takes
// for it (a proxy unmarshalled from a clone of a table-weak packet, the call,
// the proxy released), timed one by one on a thread in its own apartment.
void ForeignCallParts(Env& env) {
    Figure& unmarshal = env.report.Add("fwd.part.unmarshal", "forwarding",
                                       "  per call from another thread: unmarshal a proxy", "ms", false);
    Figure& call = env.report.Add("fwd.part.call", "forwarding", "  per call from another thread: the call", "ms",
                                  false);
    Figure& release = env.report.Add("fwd.part.release", "forwarding",
                                     "  per call from another thread: release the proxy", "ms", false);
    ILocalServer* server = nullptr;
    IStream* stream = nullptr;
    if (FAILED(CoCreateInstance(CLSID_LocalServer, nullptr, CLSCTX_LOCAL_SERVER, IID_ILocalServer,
                                reinterpret_cast<void**>(&server))) ||
        FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)) ||
        FAILED(CoMarshalInterface(stream, IID_ILocalServer, server, MSHCTX_INPROC, nullptr, MSHLFLAGS_TABLEWEAK))) {
        env.report.Fail("a LocalServer object could not be made and marshalled");
        if (stream != nullptr) stream->Release();
        if (server != nullptr) server->Release();
        return;
    }
    const LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    const int n = int(env.opt.Count(20, 3));
    for (int run = 0; run < env.opt.runs; ++run) {
        double parts[3] = {0, 0, 0};
        int failed = 0;
        std::atomic<bool> done{false};
        std::thread t([&] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            for (int i = 0; i < n; ++i) {
                IStream* clone = nullptr;
                ILocalServer* p = nullptr;
                if (FAILED(stream->Clone(&clone))) {
                    ++failed;
                    continue;
                }
                const int64_t t0 = Ticks();
                if (CoGetInterfaceAndReleaseStream(clone, IID_ILocalServer, reinterpret_cast<void**>(&p)) != S_OK) {
                    ++failed;
                    continue;
                }
                const int64_t t1 = Ticks();
                LONG value = 0;
                if (FAILED(p->QueryA(0, &value))) ++failed;
                const int64_t t2 = Ticks();
                p->Release();
                const int64_t t3 = Ticks();
                parts[0] += TicksToUs(t1 - t0) / 1000;
                parts[1] += TicksToUs(t2 - t1) / 1000;
                parts[2] += TicksToUs(t3 - t2) / 1000;
            }
            CoUninitialize();
            done.store(true);
        });
        WaitFor([&] { return done.load(); }, 300000);  // serving this apartment meanwhile
        t.join();
        env.control->ClearLog();
        if (failed != 0) {
            env.report.Fail("calls through a proxy unmarshalled per call: " + std::to_string(failed) + " failed");
            break;
        }
        unmarshal.runs.push_back(parts[0] / n);
        call.runs.push_back(parts[1] / n);
        release.runs.push_back(parts[2] / n);
    }
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    CoReleaseMarshalData(stream);
    stream->Release();
    server->Release();
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
