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
//   lifetime_child peer <clientId> <name>
//                              signs on as clientId with the echo on, sends one
//                              packet and hears it back, sets event <name>.up,
//                              and signs off once event <name>.done is set: a
//                              client of the other bitness beside the test's own
// Exit codes: 0 done, 2 usage, 3 setup failed, 7 traffic never got going (hang
// guard, not a speed limit), 8 a check of unload failed (the reason on stderr).
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/handle.h"
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
    // The first three leave what COM and its connections to the server keep for
    // good; three more of the same must leave nothing behind. A handle that
    // Wine's own threads hold for a moment (seen under load) goes again; one
    // left per round never does.
    DWORD settled = handles[kRounds - 1];
    const bool flat = WaitFor([&] { return (settled = HandleCount()) <= handles[kWays - 1]; });
    std::printf("handles after each round:");
    for (DWORD h : handles) std::printf(" %lu", h);
    std::printf(", then %lu\n", settled);
    if (!flat) return Fail("load and unload left handles behind", kRounds - 1);
    // COM's threads and the server calls go on over the fenced ranges.
    server.ClearLog();
    if (server.RingClients() < 0) return 3;
    std::printf("unloaded %d times\n", kRounds);
    std::fflush(stdout);
    return 0;
}

int Peer(ULONG clientId, const char* name) {
    CoInitialize(nullptr);
    const std::string up = std::string(name) + ".up", done = std::string(name) + ".done";
    const serverlink::CHandle upEvent(OpenEventA(EVENT_MODIFY_STATE, FALSE, up.c_str()));
    const serverlink::CHandle doneEvent(OpenEventA(SYNCHRONIZE, FALSE, done.c_str()));
    if (!upEvent || !doneEvent) return 3;
    IServerLink* link = nullptr;
    if (CreateLink(&link) != S_OK) return 3;
    RecordingSink sink;
    TestRecord rec = MakeRecord(clientId, &sink);
    if (ClientSignOn(link, rec) != S_OK) return Fail("sign-on failed", 0);
    const BYTE packet[] = {0x32, 0xB1, 0x75};
    if (link->SendData(32, packet, sizeof(packet)) != S_OK) return Fail("SendData failed", 0);
    if (!sink.WaitCount(1)) return Fail("the echo never arrived", 0);
    const auto calls = sink.Calls();
    if (calls.size() != 1 || !calls[0].data || calls[0].id != 32 ||
        calls[0].bytes != std::vector<BYTE>(packet, packet + sizeof(packet)))
        return Fail("the echo differs from what was sent", 0);
    SetEvent(upEvent.Get());
    if (WaitForSingleObject(doneEvent.Get(), kPatienceMs) != WAIT_OBJECT_0) return 7;
    if (link->SignOff() != S_OK) return Fail("sign-off failed", 0);
    link->Release();
    CoUninitialize();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "exit-busy") == 0) return ExitBusy();
    if (argc == 2 && std::strcmp(argv[1], "unload") == 0) return Unload();
    if (argc == 4 && std::strcmp(argv[1], "peer") == 0) return Peer(std::strtoul(argv[2], nullptr, 10), argv[3]);
    std::fprintf(stderr, "usage: lifetime_child exit-busy | unload | peer <clientId> <name>\n");
    return 2;
}
