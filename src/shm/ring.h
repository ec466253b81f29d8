#pragma once
#include <cstdint>

#include "shm_message.h"

namespace serverlink {

// The ring's logic over a block of bytes that someone else owns and maps: the
// two indexes, then the slots (see ShmHeader, ShmSlot). The block is shared with
// another process, so every index and state byte in it may hold anything; the
// ring never trusts them beyond one bounds check per call.
//
// One writer and one reader, usually in different processes. Neither side takes
// a lock: the caller serialises its own side. The state byte of a slot is the
// only handshake, with release on its store and acquire on its load.
class CRing {
public:
    // block: RingSectionSize(slots) bytes, aligned for int32_t; slots >= 1.
    CRing(void* block, int32_t slots);
    CRing(const CRing&) = delete;
    CRing& operator=(const CRing&) = delete;

    // Create mode: both indexes 0, every slot's message cleared and its state free.
    void Initialize();

    // False when the slot at the write index is still full or the index is out
    // of range; nothing changes then.
    bool Write(const ShmMessage& msg);
    // False when the slot at the read index holds nothing or the index is out
    // of range; the caller's record is then left untouched.
    bool Read(ShmMessage& msg);

    int32_t Slots() const { return m_nSlots; }
    uint8_t* Block() const { return m_pBlock; }

private:
    uint8_t* Slot(int32_t i) const { return m_pBlock + kRingHeaderSize + size_t(i) * kSlotSize; }

    uint8_t* m_pBlock;
    int32_t m_nSlots;
    int32_t* m_pWriteIndex;
    int32_t* m_pReadIndex;
};

}  // namespace serverlink
