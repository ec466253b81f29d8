// hub_exit_child.exe: hub scenarios that need a process of their own.
//   hub_exit_child first-use     threads race to make the hub, each registering and
//                                starting a ring; all must see one working hub
//   hub_exit_child exit-return   leaves a ring registered and the receive thread
//                                busy, and returns from main
//   hub_exit_child exit-process  the same, ending with ExitProcess
// Exit codes: 0 done, 2 usage, 3 no link object, 4 a check failed (reason on stderr),
// 7 nothing was delivered in a long time (hang guard, not a speed limit).
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "link/server_link.h"
#include "shm/channel_hub.h"
#include "shm/shm_queue.h"
#include "sinks.h"
#include "test_support.h"

using namespace serverlink;
using testing_support::FreshRingNumber;

namespace {

constexpr int32_t kSlots = 128;
constexpr LONG kCode = 100;

// Counts what the receive thread hands it. Never destroyed: the hub's receive
// thread may still call it while the process exits.
testing_support::CountingSink& g_sink = *new testing_support::CountingSink;
std::atomic<DWORD> g_thread{0};  // the thread that called the sink first
std::atomic<int> g_strays{0};    // calls from any other

void CountOnOneThreadSlowly(ULONG, LONG, LONG_PTR, LONG) {
    // Only the receive thread calls in: a second thread id means a second thread.
    const DWORD self = GetCurrentThreadId();
    DWORD expected = 0;
    if (!g_thread.compare_exchange_strong(expected, self) && expected != self) g_strays.fetch_add(1);
    // A client that does some work per event: passes take a while, so an
    // exit that did not wait for the thread would overtake it mid-pass.
    Sleep(1);
}

bool Send(CShmQueue& ring, uint32_t clientId, LONG seq) {
    ShmMessage m;
    m.type = kMsgEvent;
    m.clientId = clientId;
    m.peerId = 1;
    m.eventCode = kCode;
    m.eventParam = seq;
    return ring.Write(m);
}

bool WaitForHeard(uint32_t count) {
    return testing_support::WaitFor([&] { return g_sink.Events() >= count; });
}

int Fail(const char* what) {
    std::fprintf(stderr, "hub_exit_child: %s\n", what);
    return 4;
}

CServerLink* NewLink() {
    CServerLink* link = new CServerLink();
    link->AddRef();
    if (!link->Connected() || link->AddSubscriber(&g_sink, 0) != S_OK) {
        link->Release();
        return nullptr;
    }
    return link;
}

// Nothing in this process has touched the hub before the threads are released
// together, so the first Instance() calls really race.
int FirstUse() {
    CServerLink* link = NewLink();
    if (link == nullptr) return 3;
    constexpr int kThreads = 8;
    struct Slot {
        uint32_t clientId = 0;
        uint32_t ring = 0;
        CChannelHub* hub = nullptr;
        bool registered = false;
        bool started = false;
    };
    std::vector<Slot> slots(kThreads);
    for (Slot& s : slots) {
        s.clientId = testing_support::UniqueNumber();
        s.ring = FreshRingNumber();
    }
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (Slot& s : slots) {
        threads.emplace_back([&, p = &s] {
            ready.fetch_add(1);
            while (!go.load()) {
            }
            p->hub = &CChannelHub::Instance();
            p->registered = p->hub->Register(p->clientId, link, p->ring, kSlots);
            p->started = p->hub->Start();
        });
    }
    while (ready.load() < kThreads) Sleep(0);
    go.store(true);
    for (auto& t : threads) t.join();

    CChannelHub& hub = CChannelHub::Instance();
    int result = 0;
    for (const Slot& s : slots) {
        if (s.hub != &hub) result = Fail("a thread got another hub");
        if (!s.registered) result = Fail("a racing Register failed");
        if (!s.started) result = Fail("a racing Start failed");
    }
    // A hub made twice would have lost the rings registered before its second making.
    if (hub.RingCount() != size_t(kThreads)) result = Fail("rings lost in the race");
    if (!hub.IsRunning()) result = Fail("no receive thread after the race");

    // Every ring is read, all by the one receive thread.
    int sent = 0;
    for (const Slot& s : slots) {
        try {
            CShmQueue ring(s.ring, kSlots, false);
            if (Send(ring, s.clientId, sent)) ++sent;
        } catch (const serverlink::CError&) {
            result = Fail("a registered ring cannot be opened");
        }
    }
    if (sent != kThreads) result = Fail("a message could not be written");
    if (!WaitForHeard(sent)) {
        std::fprintf(stderr, "hub_exit_child: %u of %d messages delivered\n", g_sink.Events(), sent);
        return 7;
    }
    if (g_strays.load() != 0 || g_thread.load() != hub.ReceiveThreadId())
        result = Fail("messages came on more than one thread");

    for (const Slot& s : slots)
        if (!hub.Unregister(s.clientId, link)) result = Fail("Unregister failed");
    if (hub.IsRunning() || hub.ReceiveThreadId() != 0) result = Fail("the thread outlived the last ring");
    if (link->Release() != 0) result = Fail("the link is still referenced");
    std::printf("first-use: %d threads, %u messages\n", kThreads, g_sink.Events());
    return result;
}

// A client that never signs off: its rings stay registered, the receive thread
// keeps delivering to them, and the link is never released. Many rings and a
// slow sink keep the thread inside a pass almost all the time, where an exit
// that did not wait for it would pull the rings from under it.
int ExitBusy(bool exitProcess) {
    constexpr int kRings = 64;
    CServerLink* link = NewLink();
    if (link == nullptr) return 3;
    CChannelHub& hub = CChannelHub::Instance();
    std::vector<std::unique_ptr<CShmQueue>> rings;
    std::vector<uint32_t> clientIds;
    for (int i = 0; i < kRings; ++i) {
        const uint32_t clientId = testing_support::UniqueNumber();
        const uint32_t ringNumber = FreshRingNumber();
        if (!hub.Register(clientId, link, ringNumber, kSlots)) return Fail("ring not registered");
        try {
            rings.push_back(std::make_unique<CShmQueue>(ringNumber, kSlots, false));
        } catch (const serverlink::CError&) {
            return Fail("the registered ring cannot be opened");
        }
        clientIds.push_back(clientId);
    }
    if (!hub.Start()) return Fail("the receive thread did not start");
    // The local server never stops writing; the process exit ends the writer.
    std::thread([rings = std::move(rings), clientIds] {
        for (LONG seq = 0;; ++seq) {
            bool any = false;
            for (size_t i = 0; i < rings.size(); ++i) any = Send(*rings[i], clientIds[i], seq) || any;
            if (!any) SwitchToThread();
        }
    }).detach();
    if (!WaitForHeard(100)) return 7;
    std::printf("exiting after %u messages delivered\n", g_sink.Events());
    std::fflush(stdout);
    if (exitProcess) ExitProcess(0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hub_exit_child first-use|exit-return|exit-process\n");
        return 2;
    }
    CoInitialize(nullptr);
    g_sink.onEvent = CountOnOneThreadSlowly;
    if (std::strcmp(argv[1], "first-use") == 0) {
        const int rc = FirstUse();
        CoUninitialize();
        return rc;
    }
    if (std::strcmp(argv[1], "exit-return") == 0) return ExitBusy(false);
    if (std::strcmp(argv[1], "exit-process") == 0) return ExitBusy(true);
    std::fprintf(stderr, "hub_exit_child: unknown mode %s\n", argv[1]);
    return 2;
}
