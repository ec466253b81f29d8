// lifetime_child.exe: link scenarios that end the process they run in.
//   lifetime_child exit-busy   keeps the receive thread busy moving echoed data,
//                              signing another link off and on and allocating
//                              in its callbacks, then calls ExitProcess
// Exit codes: 0 done, 2 usage, 3 setup failed, 7 traffic never got going (hang
// guard, not a speed limit).
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "link_helpers.h"
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
    SignOnRecord yRec = MakeRecord(UniqueNumber(), nullptr);
    RecordingSink sink;
    BYTE packet[200] = {};
    sink.onData = [&](const RecordingSink::Call&) {
        // Changes to the hub's map and the heap, from inside a pass.
        if (rounds.load() % 2 == 0)
            y->SignOff();
        else
            y->SignOn(&yRec);
        std::vector<std::unique_ptr<char[]>> blocks;
        for (int i = 0; i < 32; ++i) blocks.emplace_back(new char[64 + i * 16]);
        rounds.fetch_add(1);
        x->SendData(9, packet, sizeof(packet));
    };
    SignOnRecord xRec = MakeRecord(UniqueNumber(), &sink);
    if (x->SignOn(&xRec) != S_OK || y->SignOn(&yRec) != S_OK) return 3;
    if (x->SendData(9, packet, sizeof(packet)) != S_OK) return 3;

    const ULONGLONG start = GetTickCount64();
    while (rounds.load() < 20) {
        if (GetTickCount64() - start > 60000) return 7;
        Sleep(1);
    }
    std::printf("exiting after %d rounds\n", rounds.load());
    std::fflush(stdout);
    // No sign-off, no release: the process ends with the receive thread at work.
    ExitProcess(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "exit-busy") == 0) return ExitBusy();
    std::fprintf(stderr, "usage: lifetime_child exit-busy\n");
    return 2;
}
