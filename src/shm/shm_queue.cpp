#include "shm_queue.h"

#include "../common/error.h"

namespace serverlink {

namespace {

const char kCreateFail[] = "create shm fail!";
const char kMapFail[] = "map shm fail!";

// Bytes at the start of the view that can be read and written: a section made
// by someone else may be smaller than the ring we were asked for, or reserved
// without committed pages, or read-only; writing there would fault.
SIZE_T UsableSize(const void* view) {
    MEMORY_BASIC_INFORMATION mbi{};
    if (VirtualQuery(view, &mbi, sizeof(mbi)) != sizeof(mbi)) return 0;
    const DWORD access = mbi.Protect & 0xFF;
    if (mbi.State != MEM_COMMIT || (mbi.Protect & PAGE_GUARD) != 0 ||
        (access != PAGE_READWRITE && access != PAGE_EXECUTE_READWRITE))
        return 0;
    return mbi.RegionSize;
}

uint32_t CheckedSectionSize(int32_t slots) {
    const uint64_t size = RingSectionSize(slots);
    if (slots <= 0 || size > 0xFFFFFFFFull) throw CError(kCreateFail);
    return static_cast<uint32_t>(size);
}

}  // namespace

std::string RingName(uint32_t n) { return std::string(kRingNamePrefix) + std::to_string(n); }

CShmMapping::CShmMapping(uint32_t n, uint32_t size, bool create) {
    const std::string name = RingName(n);
    m_mapping.Reset(create ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name.c_str())
                           : OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()));
    if (!m_mapping) throw CError(kCreateFail);
    CMappedView view(MapViewOfFileEx(m_mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr));
    if (!view || UsableSize(view.Get()) < size) throw CError(kMapFail);
    m_view = std::move(view);
}

CShmQueue::CShmQueue(uint32_t n, int32_t slots, bool create)
    : m_mapping(n, CheckedSectionSize(slots), create), m_ring(m_mapping.View(), slots) {
    if (create) m_ring.Initialize();
}

}  // namespace serverlink
