// ringview <ring number> [slot count]: a read-only look at a ring, for
// people integrating with the local server. The section is opened, never
// created, and mapped read-only, so no index or state byte can change.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/handle.h"
#include "ring_format.h"
#include "shm/shm_queue.h"

namespace {

int Fail(int code, const std::string& text) {
    std::fprintf(stderr, "ringview: %s\n", text.c_str());
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    ringview::Arguments args;
    std::string error;
    if (!ringview::ParseArguments(argc, argv, args, error)) {
        std::fprintf(stderr, "ringview: %s\n%s", error.c_str(), ringview::Usage().c_str());
        return 2;
    }
    const std::string name = serverlink::RingName(args.ring);
    const uint64_t needed = serverlink::RingSectionSize(args.slots);

    const serverlink::CHandle section(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()));
    if (!section) {
        const DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND) return Fail(3, "ring " + name + " does not exist");
        return Fail(3, "cannot open ring " + name + " (error " + std::to_string(e) + ")");
    }
    const serverlink::CMappedView view(MapViewOfFile(section.Get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) return Fail(4, "cannot map ring " + name + " (error " + std::to_string(GetLastError()) + ")");
    MEMORY_BASIC_INFORMATION mbi{};
    if (VirtualQuery(view.Get(), &mbi, sizeof(mbi)) != sizeof(mbi))
        return Fail(4, "cannot query the size of ring " + name);
    if (mbi.RegionSize < needed)
        return Fail(4, "section " + name + " is " + std::to_string(mbi.RegionSize) + " bytes, smaller than the " +
                           std::to_string(needed) + " bytes that " + std::to_string(args.slots) + " slots need");

    // The other side may be writing: one copy, then only the copy is decoded.
    std::vector<uint8_t> copy(static_cast<size_t>(needed));
    std::memcpy(copy.data(), view.Get(), copy.size());

    const std::string report = ringview::Describe(name, args.slots, mbi.RegionSize, copy);
    std::fwrite(report.data(), 1, report.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
