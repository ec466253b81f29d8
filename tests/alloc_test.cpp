// No heap allocation per message on the hot paths: a link object of the core
// (linked into this exe, so its allocations pass through the counters below)
// signed on to the reference server; data packets sent, events, data and
// notices received and dispatched (a sink changing subscriptions meanwhile),
// heartbeats posted. After one warm-up round, a second, larger round must not
// allocate at all.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "link/server_link.h"
#include "link_helpers.h"
#include "serverlink_codes.h"
#include "shm/shm_queue.h"
#include "sinks.h"
#include "test_support.h"

namespace {
std::atomic<long> g_news{0};     // operator new, every form
std::atomic<long> g_mallocs{0};  // malloc, calloc and realloc called from the statically linked code
}  // namespace

// Calls into the C runtime from the code linked here reach these through the
// linker's --wrap (see tests/CMakeLists.txt).
extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
void* __wrap_malloc(size_t n) {
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __real_malloc(n);
}
void* __wrap_calloc(size_t n, size_t m) {
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __real_calloc(n, m);
}
void* __wrap_realloc(void* p, size_t n) {
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __real_realloc(p, n);
}
}

namespace {
// Failure injection: operator new on thread g_failThread fails at its
// g_failIn-th call from when it was armed.
std::atomic<DWORD> g_failThread{0};
std::atomic<long> g_failIn{0};

void FailAfter(long n) {
    g_failIn = n;
    g_failThread = GetCurrentThreadId();
}
// True when the armed allocation came (and failed).
bool Disarm() {
    g_failThread = 0;
    return g_failIn.exchange(0) <= 0;
}

void* CountedNew(size_t n) {
    if (g_failThread.load(std::memory_order_relaxed) == GetCurrentThreadId() && g_failIn.fetch_sub(1) == 1)
        throw std::bad_alloc();
    g_news.fetch_add(1, std::memory_order_relaxed);
    void* p = __real_malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* CountedAlignedNew(size_t n, std::align_val_t a) {
    g_news.fetch_add(1, std::memory_order_relaxed);
    void* p = _aligned_malloc(n == 0 ? 1 : n, static_cast<size_t>(a));
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
}  // namespace

void* operator new(size_t n) { return CountedNew(n); }
void* operator new[](size_t n) { return CountedNew(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return CountedNew(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void* operator new(size_t n, std::align_val_t a) { return CountedAlignedNew(n, a); }
void* operator new[](size_t n, std::align_val_t a) { return CountedAlignedNew(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { _aligned_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { _aligned_free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { _aligned_free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { _aligned_free(p); }

using namespace serverlink;

namespace {

constexpr ULONG kPeer = 5;          // data is sent to and received from it
constexpr ULONG kPausedPeer = 6;    // paused and resumed over and over
constexpr ULONG kUnknownPeer = 9;   // "peer gone" for a peer never heard of
constexpr LONG kPlainCode = 100;    // an event code passed on unchanged
constexpr uint16_t kChannel = 33000;

// Events the sink hears per round trip of Incoming: plain, code 5, peer gone,
// notice A, notice B (pause and resume are not delivered).
constexpr long kHeardEvents = 5;

// Writes into the incoming ring as the server would, waiting while it is full.
// No allocation: plain loops, no std::function.
bool Put(CShmQueue& ring, const ShmMessage& m) {
    const ULONGLONG start = GetTickCount64();
    while (!ring.Write(m)) {
        if (GetTickCount64() - start > testing_support::kPatienceMs) return false;
        Sleep(0);
    }
    return true;
}

bool Incoming(CShmQueue& ring, long rounds) {
    ShmMessage m;
    for (long i = 0; i < rounds; ++i) {
        m.Clear();
        m.type = kMsgEvent;
        m.peerId = kPeer;
        m.eventCode = kPlainCode;
        m.eventParam = i;
        if (!Put(ring, m)) return false;
        m.eventCode = SERVERLINK_EVENT_SCRAMBLED;
        m.extra = SERVERLINK_EXTRA_PEER_READY;  // a known peer: no new entry
        if (!Put(ring, m)) return false;
        m.extra = 0;
        m.peerId = kPausedPeer;
        m.eventCode = SERVERLINK_EVENT_PAUSE;
        if (!Put(ring, m)) return false;
        m.eventCode = SERVERLINK_EVENT_RESUME;
        if (!Put(ring, m)) return false;
        m.peerId = kUnknownPeer;
        m.eventCode = SERVERLINK_EVENT_PEER_GONE_A;
        if (!Put(ring, m)) return false;
        m.Clear();
        m.type = kMsgPeerData;
        m.peerId = kPeer;
        m.length = kMaxPayload;
        m.payload[0] = static_cast<uint8_t>(i);
        if (!Put(ring, m)) return false;
        m.type = kMsgNoticeA;
        m.length = 20;
        if (!Put(ring, m)) return false;
        m.type = kMsgNoticeB;
        if (!Put(ring, m)) return false;
    }
    return true;
}

// Data packets from a client thread, and heartbeats as the hub asks for them.
bool Outgoing(CServerLink& link, long rounds) {
    BYTE packet[kMaxPayload] = {};
    IRingOwner& owner = link;
    for (long i = 0; i < rounds; ++i) {
        packet[0] = static_cast<BYTE>(i);
        const ULONGLONG start = GetTickCount64();
        while (link.SendData(kPeer, packet, sizeof(packet)) != S_OK || !owner.OnHeartbeatDue()) {
            if (GetTickCount64() - start > testing_support::kPatienceMs) return false;
            Sleep(0);
        }
    }
    return true;
}

// A plain loop: WaitFor's std::function could allocate.
bool WaitHeard(const testing_support::CountingSink& sink, uint32_t events, uint32_t data) {
    const ULONGLONG start = GetTickCount64();
    while (sink.Events() < events || sink.Data() < data) {
        if (GetTickCount64() - start > testing_support::kPatienceMs) return false;
        Sleep(1);
    }
    return true;
}

}  // namespace

TEST(NoAllocation, SendReceiveDispatchAndHeartbeatAllocateNothingPerMessage) {
    testing_support::ComScope com;
    testing_support::RefServer server;
    ASSERT_TRUE(server.ok()) << "the reference local server could not be started";
    ASSERT_EQ(server.SetDrainMode(1), S_OK);  // the server drains without formatting each packet

    CServerLink* link = new CServerLink();
    link->AddRef();
    ASSERT_TRUE(link->Connected());
    // Counts without allocating; every 50th event, once the link is signed on,
    // it changes subscriptions from inside the dispatch, which queues the changes.
    testing_support::CountingSink sink, other;
    CServerLink* changing = nullptr;
    sink.onEvent = [&](ULONG, LONG, LONG_PTR, LONG) {
        if (changing != nullptr && sink.Events() % 50 == 0) {
            changing->AddSubscriber(&other, 42);
            changing->RemoveSubscriber(&other, 42);
        }
    };
    testing_support::TestRecord record = testing_support::MakeRecord(0xA110C000u + (testing_support::UniqueNumber() & 0xFFF), &sink);
    server.SetChannel(kChannel);
    ASSERT_EQ(testing_support::ClientSignOn(link, record), S_OK);
    server.SetChannel(0);
    changing = link;
    {
        CShmQueue in(uint32_t(kChannel) + 1u, kRingSlots, false);  // the server's side of the incoming ring

        // Warm-up: the first peer entry, the first queued subscription change,
        // whatever is made once.
        const long warm = 200;
        ASSERT_TRUE(Incoming(in, warm));
        ASSERT_TRUE(Outgoing(*link, warm));
        ASSERT_TRUE(WaitHeard(sink, warm * kHeardEvents, warm));

        const long news = g_news.load(), mallocs = g_mallocs.load();
        const long rounds = 2000;
        const bool sent = Incoming(in, rounds) && Outgoing(*link, rounds);
        const bool heard = WaitHeard(sink, (warm + rounds) * kHeardEvents, warm + rounds);
        const long newsDuring = g_news.load() - news, mallocsDuring = g_mallocs.load() - mallocs;

        ASSERT_TRUE(sent);
        ASSERT_TRUE(heard);
        EXPECT_EQ(newsDuring, 0) << "operator new calls during " << rounds * 8 << " incoming records and "
                                 << rounds * 2 << " outgoing ones";
        EXPECT_EQ(mallocsDuring, 0) << "C runtime allocations during the same";
    }
    // The counters see allocations at all (a wrapper the linker left out would
    // make the checks above vacuous).
    const long news = g_news.load(), mallocs = g_mallocs.load();
    void* volatile probe = std::malloc(16);
    std::free(probe);
    ::operator delete(::operator new(16));
    EXPECT_GT(g_mallocs.load(), mallocs);
    EXPECT_GT(g_news.load(), news);

    changing = nullptr;
    EXPECT_EQ(link->SignOff(), S_OK);
    EXPECT_EQ(link->Release(), 0u);
}

namespace {
// Message-only windows of the owner threads' agents in this process.
int OwnerWindows() {
    int n = 0;
    for (HWND w = nullptr; (w = FindWindowExW(HWND_MESSAGE, w, L"serverlink.owner", nullptr)) != nullptr;) ++n;
    return n;
}
}  // namespace

// Whichever allocation fails while a link is made on its owner thread, or
// while its last reference goes on another thread, nothing of the image stays
// registered with the owner thread (window class, window, initialize spy) once
// nothing holds the module: after an unload the thread would call unmapped code.
TEST(AllocationFailure, NothingStaysRegisteredWithAnOwnerThreadWithoutAModuleLock) {
    testing_support::ComScope com;  // this thread is the owner
    testing_support::RefServer server;
    ASSERT_TRUE(server.ok());
    const LONG locks = ModuleLockCount();
    const LONG objects = server.ObjectCount();
    auto settled = [&] {
        return testing_support::WaitFor(
            [&] { return OwnerWindows() == 0 && ModuleLockCount() == locks && server.ObjectCount() == objects; });
    };
    long made = 0, making = 0, releasing = 0;
    // The first pass meets what is made once per process, the second what is
    // made per link.
    for (int pass = 0; pass < 2; ++pass)
    for (long n = 1;; ++n) {
        making += 1;
        CServerLink* link = nullptr;
        FailAfter(n);
        try {
            link = new CServerLink();
        } catch (const std::bad_alloc&) {
        }
        const bool failed = Disarm();
        if (link != nullptr) {
            ++made;
            link->AddRef();
            link->Release();
        }
        ASSERT_TRUE(settled()) << "allocation " << n << " of making a link failed (pass " << pass << "): windows " << OwnerWindows()
                               << ", module locks " << ModuleLockCount() - locks;
        if (!failed) break;
    }
    EXPECT_GE(made, 2);
    for (long n = 1;; ++n) {
        releasing = n;
        CServerLink* link = new CServerLink();
        link->AddRef();
        ASSERT_TRUE(link->Connected());
        bool failed = false;
        testing_support::RunOnThread([&] {
            FailAfter(n);
            link->Release();
            failed = Disarm();
        });
        ASSERT_TRUE(settled()) << "allocation " << n << " of a release on another thread failed: windows "
                               << OwnerWindows() << ", module locks " << ModuleLockCount() - locks;
        if (!failed) break;
    }
    std::printf("rounds: %ld making a link, %ld releasing it elsewhere\n", making, releasing);
}
