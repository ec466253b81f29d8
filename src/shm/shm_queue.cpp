#include "shm_queue.h"

#include <atomic>
#include <cstring>

namespace serverlink {

namespace {

const char kCreateFail[] = "create shm fail!";
const char kMapFail[] = "map shm fail!";

// The state byte is the one handshake with the other process: the message bytes
// must be visible before it changes (release), and must not be read before it
// has been seen (acquire).
uint8_t LoadState(uint8_t& b) { return std::atomic_ref<uint8_t>(b).load(std::memory_order_acquire); }
void StoreState(uint8_t& b, uint8_t v) { std::atomic_ref<uint8_t>(b).store(v, std::memory_order_release); }
int32_t LoadIndex(int32_t& i) { return std::atomic_ref<int32_t>(i).load(std::memory_order_relaxed); }
void StoreIndex(int32_t& i, int32_t v) { std::atomic_ref<int32_t>(i).store(v, std::memory_order_relaxed); }

// Size of the mapped view; a section made by someone else may be smaller than
// the ring we were asked for.
SIZE_T MappedSize(const void* view) {
    MEMORY_BASIC_INFORMATION mbi{};
    if (VirtualQuery(view, &mbi, sizeof(mbi)) != sizeof(mbi)) return 0;
    return mbi.RegionSize;
}

uint32_t CheckedSectionSize(int32_t slots) {
    const uint64_t size = RingSectionSize(slots);
    if (slots <= 0 || size > 0xFFFFFFFFull) throw kCreateFail;
    return static_cast<uint32_t>(size);
}

}  // namespace

std::string RingName(uint32_t n) { return std::string(kRingNamePrefix) + std::to_string(n); }

CShmMapping::CShmMapping(uint32_t n, uint32_t size, bool create) : m_bCreate(create) {
    const std::string name = RingName(n);
    HANDLE h = create ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name.c_str())
                      : OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    if (h == nullptr) throw kCreateFail;

    void* view = MapViewOfFileEx(h, FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr);
    if (view == nullptr) {
        CloseHandle(h);
        throw kMapFail;
    }
    if (MappedSize(view) < size) {
        UnmapViewOfFile(view);
        CloseHandle(h);
        throw kMapFail;
    }
    m_pView = static_cast<uint8_t*>(view);
    m_hMapping = h;
}

CShmMapping::~CShmMapping() {
    UnmapViewOfFile(m_pView);
    CloseHandle(m_hMapping);
}

CShmQueue::CShmQueue(uint32_t n, int32_t slots, bool create)
    : m_mapping(n, CheckedSectionSize(slots), create),
      m_nSlots(slots),
      m_bCreate(create),
      m_pWriteIndex(reinterpret_cast<int32_t*>(m_mapping.View())),
      m_pReadIndex(reinterpret_cast<int32_t*>(m_mapping.View() + 4)),
      m_pSlots(reinterpret_cast<ShmSlot*>(m_mapping.View() + kRingHeaderSize)) {
    if (!m_bCreate) return;
    StoreIndex(*m_pWriteIndex, 0);
    StoreIndex(*m_pReadIndex, 0);
    const ShmMessage cleared;
    for (int32_t i = 0; i < m_nSlots; ++i) {
        std::memcpy(&m_pSlots[i].message, &cleared, sizeof(cleared));
        StoreState(m_pSlots[i].empty, 1);
    }
}

bool CShmQueue::Write(const ShmMessage& msg) {
    const int32_t i = LoadIndex(*m_pWriteIndex);
    if (i < 0 || i >= m_nSlots) return false;
    ShmSlot& slot = m_pSlots[i];
    if (LoadState(slot.empty) == 0) return false;  // full
    std::memcpy(&slot.message, &msg, sizeof(ShmMessage));
    StoreState(slot.empty, 0);
    StoreIndex(*m_pWriteIndex, i < m_nSlots - 1 ? i + 1 : 0);
    return true;
}

bool CShmQueue::Read(ShmMessage& msg) {
    const int32_t i = LoadIndex(*m_pReadIndex);
    if (i < 0 || i >= m_nSlots) return false;
    ShmSlot& slot = m_pSlots[i];
    if (LoadState(slot.empty) != 0) return false;  // nothing to read
    std::memcpy(&msg, &slot.message, sizeof(ShmMessage));
    StoreState(slot.empty, 1);
    StoreIndex(*m_pReadIndex, i < m_nSlots - 1 ? i + 1 : 0);
    return true;
}

}  // namespace serverlink
