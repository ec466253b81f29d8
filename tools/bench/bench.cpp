// Benchmarks of the paths that matter to clients: the ring itself, SendData,
// forwarding calls from the owner thread and from other threads, and the round
// trip of a packet through the reference server's echo.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "events/descramble.h"
#include "localserver_control.h"
#include "serverlink.h"
#include "shm/shm_queue.h"

namespace {

const CLSID kControlClsid = {0xC89758C7, 0x9DAB, 0x4661, {0x90, 0xB5, 0xC9, 0xE5, 0xEE, 0xA9, 0x03, 0xC5}};

double Now() {
    static const double freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / freq;
}

// Runs fn n times (after a short warm-up) and prints the mean per call.
void Measure(const char* name, int n, const std::function<void()>& fn) {
    for (int i = 0; i < std::min(n / 10 + 1, 100); ++i) fn();
    const double start = Now();
    for (int i = 0; i < n; ++i) fn();
    const double per = (Now() - start) / n;
    if (per < 1e-6)
        std::printf("  %-52s %10.1f ns\n", name, per * 1e9);
    else if (per < 1e-3)
        std::printf("  %-52s %10.2f us\n", name, per * 1e6);
    else
        std::printf("  %-52s %10.3f ms\n", name, per * 1e3);
}

class CountingSink : public IEventSink {
public:
    HRESULT STDMETHODCALLTYPE OnEvent(ULONG, LONG, LONG_PTR, LONG) override { return InterlockedIncrement(&events), S_OK; }
    HRESULT STDMETHODCALLTYPE OnData(ULONG, const BYTE*, ULONG, LONG) override { return InterlockedIncrement(&data), S_OK; }
    volatile LONG events = 0, data = 0;
};

struct ForeignThreadArgs {
    IServerLink* link;
    double perCall;
};

// Calls from a thread other than the link's creator: each one unmarshals a proxy of its own.
DWORD WINAPI ForeignThreadCalls(void* p) {
    auto* args = static_cast<ForeignThreadArgs*>(p);
    CoInitialize(nullptr);
    const int n = 200;
    args->link->QueryA();
    const double start = Now();
    for (int i = 0; i < n; ++i) args->link->QueryA();
    args->perCall = (Now() - start) / n;
    CoUninitialize();
    return 0;
}

void RingBenchmarks() {
    using namespace serverlink;
    std::printf("ring (in process)\n");
    const uint32_t n = 900000 + (GetCurrentProcessId() & 0xFFFF);
    CShmQueue writer(n, 128, true);
    CShmQueue reader(n, 128, false);
    ShmMessage msg, out;
    msg.type = kMsgData;
    msg.length = 1280;
    Measure("Write + Read of one 1308-byte record", 200000, [&] {
        writer.Write(msg);
        reader.Read(out);
    });
    Measure("Read of an empty ring", 1000000, [&] { reader.Read(out); });
    Measure("descramble", 1000000, [&] {
        static volatile uint32_t v = 1;
        v = descramble(v);
    });
}

void LinkBenchmarks() {
    std::printf("link object (DLL in process, reference server out of process)\n");
    ILocalServerControl* control = nullptr;
    if (FAILED(CoCreateInstance(kControlClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ILocalServerControl,
                                reinterpret_cast<void**>(&control)))) {
        std::printf("  reference server not registered: skipped\n");
        return;
    }
    control->Reset();
    IServerLink* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ServerLink, nullptr, CLSCTX_INPROC_SERVER, IID_IServerLink,
                                reinterpret_cast<void**>(&link)))) {
        std::printf("  serverlink.dll not registered: skipped\n");
        control->Release();
        return;
    }
    Measure("QueryA from the owner thread (cross-process call)", 300, [&] { link->QueryA(); });
    {
        ForeignThreadArgs args{link, 0};
        HANDLE h = CreateThread(nullptr, 0, ForeignThreadCalls, &args, 0, nullptr);
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
        std::printf("  %-52s %10.3f ms\n", "QueryA from another thread (own proxy per call)", args.perCall * 1e3);
    }
    std::vector<BYTE> block(1280, 0x5A);
    Measure("PostBlock of 1280 bytes from the owner thread", 300,
            [&] { link->PostBlock(1, block.data(), ULONG(block.size())); });

    CountingSink sink;
    SignOnRecord rec{};
    rec.version = 2;
    rec.clientId = 0xBE0000 + (GetCurrentProcessId() & 0xFFFF);
    rec.eventSink = &sink;
    if (link->SignOn(&rec) == S_OK) {
        // SendData alone: the server drains the ring in the background.
        Measure("SendData of 1280 bytes (into the outgoing ring)", 2000, [&] {
            while (link->SendData(7, block.data(), 1280) != S_OK) Sleep(0);
        });
        Measure("SendData of 16 bytes", 2000, [&] {
            while (link->SendData(7, block.data(), 16) != S_OK) Sleep(0);
        });
        control->SetEcho(1);
        Sleep(200);
        std::vector<double> rtts;
        for (int i = 0; i < 200; ++i) {
            const LONG before = sink.data;
            const double start = Now();
            while (link->SendData(7, block.data(), 64) != S_OK) Sleep(0);
            while (sink.data == before) Sleep(0);
            rtts.push_back(Now() - start);
        }
        std::sort(rtts.begin(), rtts.end());
        std::printf("  %-52s %10.3f ms (p50) %8.3f ms (p90) %8.3f ms (max)\n",
                    "round trip: SendData -> server echo -> OnData", rtts[rtts.size() / 2] * 1e3,
                    rtts[rtts.size() * 9 / 10] * 1e3, rtts.back() * 1e3);
        control->SetEcho(0);
        link->SignOff();
    } else {
        std::printf("  sign-on refused: sign-on benchmarks skipped\n");
    }
    link->Release();
    control->Release();
}

}  // namespace

int main() {
    CoInitialize(nullptr);
    std::printf("serverlink benchmarks (each figure is a mean per operation unless noted)\n");
    RingBenchmarks();
    LinkBenchmarks();
    CoUninitialize();
    return 0;
}
