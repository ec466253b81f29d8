// ring_peer.exe: the other process of the cross-process ring tests.
//   ring_peer write <ring> <slots> <count>   writes messages 0..count-1, waiting while full
//   ring_peer read  <ring> <slots> <count>   reads count messages and checks order and content
//   ring_peer squat <ring> <bytes> <seed> [reserve|readonly]
//                                            creates the section of that name and size before
//                                            anyone else, fills it with bytes from seed (a
//                                            reserve section is left uncommitted, a readonly one
//                                            zero), sets the event ring_peer_ready_<ring>, and
//                                            holds the section until ring_peer_done_<ring> is set
// The ring is opened, never created (squat apart). Exit codes: 0 done, 2 usage,
// 3 ring not opened, 4 wrong message, 5 no progress for a long time (the other
// side is gone).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "shm/shm_queue.h"
// By path: ring_peer links the core only, without the support library's include path.
#include "support/patience.h"
#include "support/ring_traffic.h"

using serverlink::CShmQueue;
using serverlink::ShmMessage;
using testing_support::kOuterPatienceMs;
using testing_support::kPatienceMs;

namespace {

bool ParseNumber(const char* s, unsigned long& out) {
    if (s == nullptr || *s < '0' || *s > '9') return false;
    char* end = nullptr;
    out = std::strtoul(s, &end, 10);
    return *end == '\0';
}

// Calls step() until it returns true; false when it made no progress for kPatienceMs.
template <class Step>
bool Retry(Step step) {
    const ULONGLONG start = GetTickCount64();
    for (unsigned spins = 0;; ++spins) {
        if (step()) return true;
        if ((spins & 1023) == 1023 && GetTickCount64() - start > kPatienceMs) return false;
        SwitchToThread();
    }
}

}  // namespace

// A hostile party that took the section's name first.
int Squat(unsigned long ring, unsigned long bytes, unsigned long seed, const char* kind) {
    const std::string name = serverlink::RingName(static_cast<uint32_t>(ring));
    const bool reserve = std::strcmp(kind, "reserve") == 0, readOnly = std::strcmp(kind, "readonly") == 0;
    const DWORD protect = readOnly ? PAGE_READONLY : reserve ? PAGE_READWRITE | SEC_RESERVE : PAGE_READWRITE;
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, protect, 0, bytes, name.c_str());
    if (section == nullptr) return 3;
    auto* view = static_cast<uint8_t*>(MapViewOfFile(section, readOnly ? FILE_MAP_READ : FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (view == nullptr) return 3;
    uint32_t x = static_cast<uint32_t>(seed) | 1u;
    for (unsigned long i = 0; i < bytes && !reserve && !readOnly; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        view[i] = static_cast<uint8_t>(x);
    }
    const std::wstring suffix = std::to_wstring(ring);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, (L"ring_peer_ready_" + suffix).c_str());
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, (L"ring_peer_done_" + suffix).c_str());
    if (ready == nullptr || done == nullptr) return 3;
    SetEvent(ready);
    const bool told = WaitForSingleObject(done, kOuterPatienceMs) == WAIT_OBJECT_0;
    UnmapViewOfFile(view);
    CloseHandle(section);
    CloseHandle(ready);
    CloseHandle(done);
    return told ? 0 : 5;
}

int main(int argc, char** argv) {
    unsigned long ring = 0, slots = 0, count = 0;
    if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "squat") == 0 && ParseNumber(argv[2], ring) &&
        ParseNumber(argv[3], slots) && ParseNumber(argv[4], count))
        return Squat(ring, slots, count, argc == 6 ? argv[5] : "");
    if (argc != 5 || (std::strcmp(argv[1], "write") != 0 && std::strcmp(argv[1], "read") != 0) ||
        !ParseNumber(argv[2], ring) || !ParseNumber(argv[3], slots) || !ParseNumber(argv[4], count)) {
        std::fprintf(stderr, "usage: ring_peer write|read <ring> <slots> <count> | squat <ring> <bytes> <seed> [reserve|readonly]\n");
        return 2;
    }
    const bool writer = argv[1][0] == 'w';
    try {
        CShmQueue queue(static_cast<uint32_t>(ring), static_cast<int32_t>(slots), false);
        ShmMessage m;
        for (uint32_t seq = 0; seq < count; ++seq) {
            if (writer) {
                ring_traffic::Make(seq, m);
                if (!Retry([&] { return queue.Write(m); })) {
                    std::fprintf(stderr, "ring_peer: ring stayed full before message %u\n", seq);
                    return 5;
                }
            } else {
                if (!Retry([&] { return queue.Read(m); })) {
                    std::fprintf(stderr, "ring_peer: ring stayed empty before message %u\n", seq);
                    return 5;
                }
                const std::string fault = ring_traffic::Check(seq, m);
                if (!fault.empty()) {
                    std::fprintf(stderr, "ring_peer: %s\n", fault.c_str());
                    return 4;
                }
            }
        }
    } catch (const serverlink::CError& e) {
        std::fprintf(stderr, "ring_peer: %s\n", e.what());
        return 3;
    }
    return 0;
}
