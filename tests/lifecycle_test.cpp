// Lifecycle and faults through the real DLL and the reference server: many
// create-to-release cycles on several threads, unloading the DLL, the server
// killed in the middle of a session, and a link released while events for it
// are still arriving.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "link_helpers.h"
#include "raw_section.h"
#include "shm/shm_message.h"
#include "sinks.h"
#include "strict_com.h"
#include "test_support.h"

using namespace testing_support;

namespace {

constexpr LONG kFloodCode = 1000;
constexpr LONG kMarked = 4321;  // events the test writes itself, told apart from a flood

struct Usage {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    DWORD threads = 0;
};

// Threads of this process; *pool gets those of the system's thread pool (COM's
// among them), told by where they start: in ntdll, where neither the DLL's own
// threads nor this program's do.
DWORD ThreadCount(DWORD* pool = nullptr) {
    using QueryThread = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query =
        reinterpret_cast<QueryThread>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationThread")));
    constexpr int kWin32StartAddress = 9;
    if (pool != nullptr) *pool = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 te{};
    te.dwSize = sizeof(te);
    DWORD n = 0;
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te)) {
        if (te.th32OwnerProcessID != GetCurrentProcessId()) continue;
        ++n;
        HANDLE thread = pool != nullptr && query != nullptr
                            ? OpenThread(THREAD_QUERY_INFORMATION, FALSE, te.th32ThreadID)
                            : nullptr;
        if (thread == nullptr) continue;
        void* start = nullptr;
        HMODULE module = nullptr;
        if (query(thread, kWin32StartAddress, &start, sizeof(start), nullptr) == 0 &&
            GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               static_cast<LPCWSTR>(start), &module) &&
            module == ntdll)
            ++*pool;
        CloseHandle(thread);
    }
    CloseHandle(snap);
    return n;
}

// Measured once COM's pool threads, which come and go with the traffic, have
// ended: under Wine each one holds a fully committed stack of 1 MB, which
// would swamp what is measured here. What stays is this thread and the DLL's
// own threads, as many as the DLL keeps.
// Wine gives an ended thread's stack back only when the next thread ends, so
// whichever thread ended last still holds its stack (1 MB for a pool thread)
// when the counters are read. Two short threads of our own make that remnant
// the same small one at every measurement.
DWORD WINAPI NoWork(void*) { return 0; }

void FlushEndedThreadStacks() {
    for (int i = 0; i < 2; ++i) {
        HANDLE t = CreateThread(nullptr, 64 * 1024, &NoWork, nullptr,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (t == nullptr) return;
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
}

Usage Measure() {
    WaitFor([] {
        DWORD pool = 0;
        ThreadCount(&pool);
        return pool == 0;
    });
    FlushEndedThreadStacks();
    Usage u;
    u.handles = HandleCount();
    u.threads = ThreadCount();
    PROCESS_MEMORY_COUNTERS_EX pmc{};
    pmc.cb = sizeof(pmc);
    // The commit charge; Wine fills in PagefileUsage only, which Windows keeps equal to it.
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof(pmc)))
        u.privateBytes = pmc.PrivateUsage != 0 ? pmc.PrivateUsage : pmc.PagefileUsage;
    return u;
}

std::string N(uint64_t v) { return std::to_string(v); }

}  // namespace

// Each cycle: create, sign on, send three packets and hear their echoes, sign
// off, release; on four threads at once while two other links stay signed on.
// The plain run makes 500 cycles, and after a warm-up the process's handles and
// private memory stay flat. The strict run checks apartments, not leaks: 60
// cycles, and flatness is left to the plain run (over so few cycles a leak per
// cycle would hide in COM's own growth).
TEST(Lifecycle, CreateToReleaseCyclesOnFourThreads) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(server.SetDrainMode(1), S_OK);
    server.SetEcho(true);  // every packet comes back as peer data

    IServerLink* residents[2] = {};
    CountingSink residentSinks[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(CreateLink(&residents[i]), S_OK);
        TestRecord rec = MakeRecord(UniqueNumber(), &residentSinks[i]);
        ASSERT_EQ(ClientSignOn(residents[i], rec), S_OK);
    }

    constexpr int kThreads = 4;
    const bool strict = StrictComOn();
    const int kWarmUp = strict ? 20 : 100, kCycles = strict ? 60 : 500;
    std::atomic<int> failures{0};
    std::atomic<int> done{0};
    std::string firstFailure;
    std::mutex failureMutex;
    auto fail = [&](const std::string& why) {
        std::lock_guard<std::mutex> lock(failureMutex);
        if (failures++ == 0) firstFailure = why;
    };
    auto runCycles = [&](int perThread) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
                const BYTE packet[100] = {1, 2, 3};
                for (int c = 0; c < perThread && failures.load() == 0; ++c) {
                    IServerLink* link = nullptr;
                    if (CreateLink(&link) != S_OK) {
                        fail("create");
                        break;
                    }
                    CountingSink sink;
                    TestRecord rec = MakeRecord(UniqueNumber(), &sink);
                    if (ClientSignOn(link, rec) != S_OK) fail("sign-on");
                    for (int p = 0; p < 3; ++p)
                        if (link->SendData(40 + p, packet, sizeof(packet)) != S_OK) fail("send");
                    if (!WaitFor([&] { return sink.Data() == 3; }, kPatienceMs)) fail("echoes");
                    if (link->SignOff() != S_OK) fail("sign-off");
                    if (link->Release() != 0) fail("release");
                    ++done;
                }
                CoUninitialize();
            });
        }
        for (std::thread& t : threads) t.join();
    };

    runCycles(kWarmUp / kThreads);
    ASSERT_EQ(failures.load(), 0) << firstFailure;
    const Usage before = strict ? Usage{} : Measure();
    runCycles((kCycles - kWarmUp) / kThreads);
    const Usage after = strict ? Usage{} : Measure();
    ASSERT_EQ(failures.load(), 0) << firstFailure;
    EXPECT_EQ(done.load(), kCycles);

    // The residents were served throughout and still are.
    const BYTE packet[10] = {9};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(residents[i]->SendData(7, packet, sizeof(packet)), S_OK);
        EXPECT_TRUE(WaitFor([&] { return residentSinks[i].Data() == 1; }, kPatienceMs));
        EXPECT_EQ(residents[i]->SignOff(), S_OK);
        EXPECT_EQ(residents[i]->Release(), 0u);
    }

    if (strict) {
        std::printf("strict lifecycle: %d cycles on %d threads; handles and memory are the plain run's\n", kCycles,
                    kThreads);
        return;
    }
    const long long handleGrowth = (long long)after.handles - (long long)before.handles;
    const long long memoryGrowth = (long long)after.privateBytes - (long long)before.privateBytes;
    std::printf("%s\n", ("lifecycle: " + N(kCycles) + " cycles on " + N(kThreads) + " threads; over the " +
                         N(kCycles - kWarmUp) + " after warm-up: handles " + N(before.handles) + " -> " +
                         N(after.handles) + ", private bytes " + N(before.privateBytes) + " -> " +
                         N(after.privateBytes) + ", threads " + N(before.threads) + " -> " + N(after.threads))
                            .c_str());
    // Measured here over the 400 cycles after warm-up, in five runs: handles
    // +0 to +8 and private bytes +74 KB to +180 KB, from COM's own caches, both
    // levelling off over longer runs. A handle leaked per cycle would add 400;
    // a link object leaked per cycle (about 3 KB with its records and table)
    // 1.2 MB, a ring per cycle far more.
    EXPECT_LE(handleGrowth, 40) << "handles leak";
    EXPECT_LE(memoryGrowth, 512 * 1024) << "memory leaks";
}

// In a child process of its own: the DLL loaded with LoadLibrary, used through
// its exports, released and unloaded with FreeLibrary, six times over, the
// process's handles flat from the third to the sixth.
// DllCanUnloadNow says S_FALSE while a factory, a link or the receive thread
// lives; after FreeLibrary the module is gone, the receive thread has ended,
// and the image's range is fenced off so that code still running there would
// fault.
TEST(Lifecycle, TheDllUnloadsWithFreeLibraryAndNothingRunsInItAfterwards) {
    ChildProcess child(BesideExe(L"lifetime_child.exe"), L"unload");
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.Wait(kOuterPatienceMs)) << "the child hung";
    EXPECT_EQ(child.ExitCode(), 0u) << child.Stderr();
    EXPECT_NE(child.Stdout().find("unloaded 6 times"), std::string::npos) << child.Stdout() << child.Stderr();
}

// The server dies in the middle of a session. Every later server-bound call
// returns E_FAIL, on the owner thread and on others, none of them hangs;
// SignOff still takes the incoming ring down (the outgoing ring stays with the
// object until it is released); the other link keeps receiving; and the next
// activation starts a fresh server.
TEST(Lifecycle, AKilledServerFailsEveryCallPromptlyAndSignOffStillTakesTheRingDown) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    const DWORD pid = server.ProcessId();
    ASSERT_NE(pid, 0u);
    IServerLink *a = nullptr, *b = nullptr;
    std::atomic<uint32_t> bMarked{0};
    CountingSink aSink, bSink;
    bSink.onEvent = [&](ULONG, LONG code, LONG_PTR, LONG) {
        if (code == kMarked) ++bMarked;
    };
    const ULONG aId = UniqueNumber(), bId = UniqueNumber();
    const uint16_t aChannel = ScriptedChannel(), bChannel = aChannel + 2;
    StaThread owner;  // a's owner thread
    server.SetChannel(aChannel);
    HRESULT signedOn = E_PENDING;
    ASSERT_TRUE(owner.Run([&] {
        TestRecord rec = MakeRecord(aId, &aSink);
        if (CreateLink(&a) == S_OK) signedOn = ClientSignOn(a, rec);
    }));
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(signedOn, S_OK);
    server.SetChannel(bChannel);
    ASSERT_EQ(CreateLink(&b), S_OK);
    TestRecord bRec = MakeRecord(bId, &bSink);
    ASSERT_EQ(ClientSignOn(b, bRec), S_OK);
    server.SetChannel(0);
    ASSERT_EQ(server.Inject(LONG(aId), 7, 0, 1, 0, 100, 0, 0), S_OK);
    ASSERT_EQ(server.Inject(LONG(bId), 7, 0, 1, 0, 100, 0, 0), S_OK);
    ASSERT_TRUE(WaitFor([&] { return aSink.Events() == 1 && bSink.Events() == 1; }, kPatienceMs));
    ASSERT_TRUE(SectionExists(aChannel) && SectionExists(aChannel + 1u));

    // The server dies in the middle of things: a flood runs into b, and a's
    // owner thread and another thread keep calling it. Each of those calls
    // ends with the first failure, which must come.
    StaThread other;
    ASSERT_EQ(server.Flood(LONG(bId), 0x7FFFFFFF, kFloodCode), S_OK);
    std::atomic<HRESULT> ownerLast{S_OK}, otherLast{S_OK};
    auto callUntilFailure = [&](std::atomic<HRESULT>& last) {
        HRESULT hr = S_OK;
        do hr = a->QueryA();
        while (hr == S_OK);
        last = hr;
    };
    HANDLE ownerCalling = owner.Start([&] { callUntilFailure(ownerLast); });
    HANDLE otherCalling = other.Start([&] { callUntilFailure(otherLast); });
    ASSERT_TRUE(ownerCalling != nullptr && otherCalling != nullptr);
    ASSERT_TRUE(WaitFor([&] { return bSink.Events() > 1000; }, kPatienceMs));
    // This test holds the refserver lock: the server is ours to end.
    ASSERT_TRUE(server.Kill());
    const bool callsEnded = WaitFor(
        [&] {
            return WaitForSingleObject(ownerCalling, 0) == WAIT_OBJECT_0 &&
                   WaitForSingleObject(otherCalling, 0) == WAIT_OBJECT_0;
        },
        kPatienceMs);
    CloseHandle(ownerCalling);
    CloseHandle(otherCalling);
    ASSERT_TRUE(callsEnded) << "a call in flight when the server died never returned";
    EXPECT_EQ(ownerLast.load(), E_FAIL);
    EXPECT_EQ(otherLast.load(), E_FAIL);

    // Every server-bound call fails, on the owner thread and on this one.
    const BYTE bytes[4] = {1, 2, 3, 4};
    const LONG values[2] = {5, 6};
    auto everyCall = [&](IServerLink* l, std::vector<HRESULT>& r) {
        r.push_back(l->RequestDefault(1, 2, 3, 4));
        r.push_back(l->ClosePeer(3));
        r.push_back(l->QueryA());
        r.push_back(l->QueryB());
        r.push_back(l->PostBlock(1, bytes, sizeof(bytes)));
        r.push_back(l->Request(1, 2, 3, 4, 5));
        r.push_back(l->ModeRequest(1));
        r.push_back(l->PairRequest(1, 2));
        r.push_back(l->PostValueList(0, values, 2));
        r.push_back(l->ModePairRequest(0, 1, 2));
        r.push_back(l->ModeValueRequestA(0, 1));
        r.push_back(l->ModeValueRequestB(0, 1));
        r.push_back(l->ModeQuery());
    };
    std::vector<HRESULT> onOwner, onOther;
    ASSERT_TRUE(owner.Run([&] { everyCall(a, onOwner); }, kPatienceMs)) << "a call on the owner thread hung";
    ASSERT_TRUE(other.Run([&] { everyCall(a, onOther); }, kPatienceMs)) << "a call on another thread hung";
    ASSERT_EQ(onOwner.size(), 13u);
    for (size_t i = 0; i < onOwner.size(); ++i) {
        EXPECT_EQ(onOwner[i], E_FAIL) << "owner thread, call " << i;
        EXPECT_EQ(onOther[i], E_FAIL) << "other thread, call " << i;
    }

    // SignOff fails, yet the incoming ring goes; the outgoing ring stays with
    // the object. A new SignOn fails too, before it touches the rings.
    HRESULT signOff = S_OK, signOn = S_OK;
    ASSERT_TRUE(owner.Run([&] { signOff = a->SignOff(); }, kPatienceMs)) << "SignOff hung";
    EXPECT_EQ(signOff, E_FAIL);
    EXPECT_FALSE(SectionExists(aChannel + 1u)) << "the incoming ring outlived SignOff";
    EXPECT_TRUE(SectionExists(aChannel)) << "the outgoing ring stays until the next sign-on or the release";
    ASSERT_TRUE(other.Run([&] {
        TestRecord rec = MakeRecord(aId, &aSink);
        signOn = ClientSignOn(a, rec);
    }, kPatienceMs)) << "SignOn hung";
    EXPECT_EQ(signOn, E_FAIL);
    EXPECT_TRUE(SectionExists(aChannel));

    // The other link still hears what arrives in its ring, after what was
    // left of the flood.
    {
        RawSection in(uint32_t(bChannel) + 1u);
        ASSERT_TRUE(in.Ok());
        RawWriter writer(in);
        writer.SetNext(size_t(in.WriteIndex()));
        for (int i = 0; i < 500; ++i) {
            serverlink::ShmMessage m;
            m.type = 7;
            m.peerId = 2;
            m.eventCode = kMarked;
            m.eventParam = i;
            ASSERT_TRUE(writer.Write(&m, kPatienceMs));
        }
        EXPECT_TRUE(WaitFor([&] { return bMarked.load() == 500; }, kPatienceMs));
    }

    ULONG left = 1;
    ASSERT_TRUE(owner.Run([&] { left = a->Release(); }, kPatienceMs)) << "Release hung";
    EXPECT_EQ(left, 0u);
    EXPECT_FALSE(SectionExists(aChannel)) << "the outgoing ring outlived the object";
    HRESULT bOff = S_OK;
    ULONG bLeft = 1;
    // On a thread other than the owner the server cannot even be reached, yet
    // SignOff still takes the incoming ring and the subscribers down.
    ASSERT_TRUE(other.Run([&] { bOff = b->SignOff(); }, kPatienceMs));
    EXPECT_EQ(bOff, E_FAIL);
    EXPECT_FALSE(SectionExists(bChannel + 1u)) << "the incoming ring outlived SignOff on another thread";
    ASSERT_TRUE(other.Run([&] { bLeft = b->Release(); }, kPatienceMs));
    EXPECT_EQ(bLeft, 0u);

    // The next activation starts a fresh copy of the server.
    RefServer fresh;
    ASSERT_TRUE(fresh.ok());
    EXPECT_NE(fresh.ProcessId(), pid);
}

// A signed-on link released while a flood for it is still arriving: after the
// release has returned its sink is never called again, and the memory the link
// had is written over at once, so a delivery that went on in freed memory
// would crash. Releases alternate between the owner thread and another one.
TEST(Lifecycle, ALinkReleasedWhileEventsArriveIsNeverCalledAgain) {
    ComScope com;
    RefServer server;
    ASSERT_TRUE(server.ok());
    const LONG baseline = server.ObjectCount();
    IServerLink* bystander = nullptr;
    ASSERT_EQ(CreateLink(&bystander), S_OK);
    CountingSink bystanderSink;
    const ULONG bystanderId = UniqueNumber();
    TestRecord bRec = MakeRecord(bystanderId, &bystanderSink);
    ASSERT_EQ(ClientSignOn(bystander, bRec), S_OK);
    ASSERT_EQ(server.Flood(LONG(bystanderId), 0x7FFFFFFF, kFloodCode), S_OK);

    StaThread other;
    constexpr int kRounds = 10;
    std::vector<std::unique_ptr<CountingSink>> sinks;
    std::vector<std::unique_ptr<uint32_t[]>> scribbles;
    for (int round = 0; round < kRounds; ++round) {
        IServerLink* link = nullptr;
        ASSERT_EQ(CreateLink(&link), S_OK);
        sinks.push_back(std::make_unique<CountingSink>());
        CountingSink& sink = *sinks.back();
        const ULONG id = UniqueNumber();
        TestRecord rec = MakeRecord(id, &sink);
        ASSERT_EQ(ClientSignOn(link, rec), S_OK);
        ASSERT_EQ(server.Flood(LONG(id), 0x7FFFFFFF, kFloodCode), S_OK);
        ASSERT_TRUE(WaitFor([&] { return sink.Events() >= 500; }, kPatienceMs));

        ULONG left = 1;
        if (round % 2 == 0) {
            left = link->Release();
        } else {
            ASSERT_TRUE(other.Run([&] { left = link->Release(); }, kPatienceMs)) << "Release hung";
        }
        const uint32_t heardAtRelease = sink.Events() + sink.Data();  // any call from now on is too late
        EXPECT_EQ(left, 0u);
        for (int i = 0; i < 2000; ++i) {
            scribbles.emplace_back(new uint32_t[512]);
            std::fill_n(scribbles.back().get(), 512, 0xDEADBEEFu);
        }
        // Many more passes of the receive thread: the bystander hears a few ring-fulls more.
        const uint32_t seen = bystanderSink.Events();
        ASSERT_TRUE(WaitFor([&] { return bystanderSink.Events() >= seen + 1000; }, kPatienceMs));
        EXPECT_EQ(sink.Events() + sink.Data(), heardAtRelease)
            << "round " << round << ": the sink was called after the release";
    }
    EXPECT_EQ(bystander->SignOff(), S_OK);
    EXPECT_EQ(bystander->Release(), 0u);
    // Every server object went, those released on the other thread once this
    // thread (their owner) called in.
    EXPECT_TRUE(WaitFor(
        [&] {
            IServerLink* probe = nullptr;
            if (CreateLink(&probe) == S_OK) probe->Release();
            return server.ObjectCount() == baseline;
        },
        kPatienceMs));
}
