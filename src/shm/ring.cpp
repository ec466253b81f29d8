#include "ring.h"

#include <cstring>

namespace serverlink {

CRing::CRing(void* block, int32_t slots)
    : m_pBlock(static_cast<uint8_t*>(block)),
      m_nSlots(slots),
      m_pWriteIndex(reinterpret_cast<int32_t*>(m_pBlock + offsetof(ShmHeader, writeIndex))),
      m_pReadIndex(reinterpret_cast<int32_t*>(m_pBlock + offsetof(ShmHeader, readIndex))) {}

void CRing::Initialize() {
    StoreIndex(m_pWriteIndex, 0);
    StoreIndex(m_pReadIndex, 0);
    const ShmMessage cleared;
    for (int32_t i = 0; i < m_nSlots; ++i) {
        uint8_t* slot = Slot(i);
        std::memcpy(slot, &cleared, sizeof(cleared));
        StoreState(slot, kSlotFree);
    }
}

bool CRing::Read(ShmMessage& msg) {
    const int32_t i = LoadIndex(m_pReadIndex);
    if (i < 0 || i >= m_nSlots) return false;
    uint8_t* slot = Slot(i);
    if (LoadState(slot) != kSlotFull) return false;  // any non-zero state means free
    std::memcpy(static_cast<void*>(&msg), slot, sizeof(ShmMessage));
    StoreState(slot, kSlotFree);
    StoreIndex(m_pReadIndex, i < m_nSlots - 1 ? i + 1 : 0);
    return true;
}

}  // namespace serverlink
