// lifetime_child.exe: link scenarios that end the process they run in.
//   lifetime_child exit-busy   keeps the receive thread busy moving echoed data,
//                              signing another link off and on and allocating
//                              in its callbacks, then calls ExitProcess
//   lifetime_child unload      loads the DLL with LoadLibrary, uses it through
//                              DllGetClassObject, releases everything and
//                              unloads it with FreeLibrary, twice over three
//                              ways (the link signed off first; released signed
//                              on; signed off and released by its own sink, so
//                              that the receive thread stops itself), the
//                              process's handle count flat between the two;
//                              prints "unloaded 6 times" when every check held
// Exit codes: 0 done, 2 usage, 3 setup failed, 7 traffic never got going (hang
// guard, not a speed limit), 8 a check of unload failed (the reason on stderr).
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "link_helpers.h"
#include "sinks.h"
#include "test_support.h"

using namespace testing_support;

namespace {

int ExitBusy() {
    CoInitialize(nullptr);
    RefServer server;
    if (!server.ok()) return 3;
    server.SetEcho(true);  // every packet comes back as peer data
    IServerLink *x = nullptr, *y = nullptr;
    if (CreateLink(&x) != S_OK || CreateLink(&y) != S_OK) return 3;

    std::atomic<int> rounds{0};
    TestRecord yRec = MakeRecord(UniqueNumber(), nullptr);
    RecordingSink sink;
    BYTE packet[200] = {};
    sink.onData = [&](const RecordingSink::Call&) {
        // Changes to the hub's map and the heap, from inside a pass.
        if (rounds.load() % 2 == 0)
            y->SignOff();
        else
            ClientSignOn(y, yRec);
        std::vector<std::unique_ptr<char[]>> blocks;
        for (int i = 0; i < 32; ++i) blocks.emplace_back(new char[64 + i * 16]);
        rounds.fetch_add(1);
        x->SendData(9, packet, sizeof(packet));
    };
    TestRecord xRec = MakeRecord(UniqueNumber(), &sink);
    if (ClientSignOn(x, xRec) != S_OK || ClientSignOn(y, yRec) != S_OK) return 3;
    if (x->SendData(9, packet, sizeof(packet)) != S_OK) return 3;

    if (!WaitFor([&] { return rounds.load() >= 20; })) return 7;
    std::printf("exiting after %d rounds\n", rounds.load());
    std::fflush(stdout);
    // No sign-off, no release: the process ends with the receive thread at work.
    ExitProcess(0);
}

constexpr LONG kLetGo = 101;  // the event on which the sink lets go of its link

int Fail(const char* why, int round) {
    std::fprintf(stderr, "round %d: %s\n", round, why);
    return 8;
}

// Bytes of the image mapped at `base`.
SIZE_T ImageSize(HMODULE base) {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const BYTE*>(base) + dos->e_lfanew);
    return nt->OptionalHeader.SizeOfImage;
}

int Unload() {
    CoInitialize(nullptr);
    RefServer server;
    if (!server.ok()) return 3;
    const std::wstring path = BesideExe(L"serverlink.dll");
    constexpr int kWays = 3, kRounds = 2 * kWays;
    DWORD handles[kRounds] = {};
    for (int round = 0; round < kRounds; ++round) {
        const int way = round % kWays;
        HMODULE dll = LoadLibraryW(path.c_str());
        if (dll == nullptr) return 3;
        using GetClassFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
        auto getClass = reinterpret_cast<GetClassFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
        auto canUnload = reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
        if (getClass == nullptr || canUnload == nullptr) return 3;
        if (canUnload() != S_OK) return Fail("a fresh module said it was in use", round);

        IClassFactory* factory = nullptr;
        if (getClass(CLSID_ServerLink, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) return 3;
        if (canUnload() != S_FALSE) return Fail("unloadable while a class factory lives", round);
        IServerLink* link = nullptr;
        if (factory->CreateInstance(nullptr, IID_IServerLink, reinterpret_cast<void**>(&link)) != S_OK) return 3;
        factory->Release();
        if (canUnload() != S_FALSE) return Fail("unloadable while a link lives", round);

        // The sink remembers the thread that calls it: the receive thread. On
        // kLetGo it signs its link off and drops the last reference to it.
        CountingSink sink;
        HANDLE receiver = nullptr;
        IServerLink* letGoOf = nullptr;  // set by this thread before the event
        std::atomic<int> letGo{0};
        sink.onEvent = [&](ULONG, LONG code, LONG_PTR, LONG) {
            if (receiver == nullptr) receiver = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
            if (code != kLetGo || letGoOf == nullptr) return;
            IServerLink* mine = letGoOf;
            letGoOf = nullptr;
            const bool signedOff = mine->SignOff() == S_OK;
            mine->Release();
            if (signedOff) ++letGo;
        };
        const ULONG clientId = UniqueNumber();
        TestRecord rec = MakeRecord(clientId, &sink);
        if (ClientSignOn(link, rec) != S_OK) return 3;
        LONG written = 0;
        if (server.Inject(LONG(clientId), 7, 0, 1, 0, 100, 0, 0, {}, &written) != S_OK || written != 1) return 3;
        if (!WaitFor([&] { return sink.Events() == 1; })) return Fail("the event never arrived", round);
        if (receiver == nullptr) return 3;
        if (canUnload() != S_FALSE) return Fail("unloadable while the receive thread runs", round);

        if (way == 2) {
            // The sink signs off and lets go of the last reference; with no ring
            // left the receive thread stops itself.
            letGoOf = link;
            link = nullptr;
            if (server.Inject(LONG(clientId), 7, 0, 1, 0, kLetGo, 0, 0, {}, &written) != S_OK) return 3;
            if (!WaitFor([&] { return letGo.load() == 1; })) return Fail("the sink did not let go", round);
        } else {
            // Round 1 releases the link still signed on: the release takes the rings down.
            if (way == 0 && link->SignOff() != S_OK) return Fail("sign-off failed", round);
            if (canUnload() != S_FALSE) return Fail("unloadable while a link lives", round);
            if (link->Release() != 0) return Fail("the link kept a reference", round);
        }
        if (!WaitFor([&] { return canUnload() == S_OK; })) return Fail("in use after everything was released", round);

        const SIZE_T size = ImageSize(dll);
        void* const base = dll;
        FreeLibrary(dll);
        // The receive thread may still be on its way out, holding the module.
        if (!WaitFor([&] { return GetModuleHandleW(L"serverlink.dll") == nullptr; }))
            return Fail("the module stayed loaded", round);
        if (WaitForSingleObject(receiver, kPatienceMs) != WAIT_OBJECT_0)
            return Fail("the receive thread lives on", round);
        CloseHandle(receiver);
        // The image's range is free; reserve it without access for the rest
        // of the run (later rounds load the DLL elsewhere), so that any code
        // still running there, or called there later, faults at once.
        void* fence = VirtualAlloc(base, size, MEM_RESERVE, PAGE_NOACCESS);
        if (fence != base) return Fail("the image's memory is still in use", round);
        handles[round] = HandleCount();
    }
    std::printf("handles after each round:");
    for (DWORD h : handles) std::printf(" %lu", h);
    std::printf("\n");
    // The first three leave what COM and its connections to the server keep for
    // good; three more of the same must leave nothing behind.
    if (handles[kRounds - 1] > handles[kWays - 1]) return Fail("load and unload left handles behind", kRounds - 1);
    // COM's threads and the server calls go on over the fenced ranges.
    server.ClearLog();
    if (server.RingClients() < 0) return 3;
    std::printf("unloaded %d times\n", kRounds);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "exit-busy") == 0) return ExitBusy();
    if (argc == 2 && std::strcmp(argv[1], "unload") == 0) return Unload();
    std::fprintf(stderr, "usage: lifetime_child exit-busy | unload\n");
    return 2;
}
