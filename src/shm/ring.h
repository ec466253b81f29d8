#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

    // The one write path: the caller fills the free slot's record in place with
    // fill(ShmMessage&) before it is published, one copy where building a
    // record first and then writing it would make two. The record still holds
    // the slot's previous message, so fill must set every field its type
    // carries. False, and fill not called, when the slot at the write index is
    // still full or the index is out of range; nothing changes then.
    template <class Fill>
    bool WriteInPlace(Fill&& fill);
    // Writes a whole record built elsewhere.
    bool Write(const ShmMessage& msg) {
        return WriteInPlace([&](ShmMessage& slot) { std::memcpy(static_cast<void*>(&slot), &msg, sizeof(msg)); });
    }
    // False when the slot at the read index holds nothing or the index is out
    // of range; the caller's record is then left untouched.
    bool Read(ShmMessage& msg);

    int32_t Slots() const { return m_nSlots; }
    uint8_t* Block() const { return m_pBlock; }

private:
    static constexpr uint8_t kSlotFree = 1;
    static constexpr uint8_t kSlotFull = 0;

    uint8_t* Slot(int32_t i) const { return m_pBlock + kRingHeaderSize + size_t(i) * kSlotSize; }
    // The message bytes must be visible before the state byte changes (release),
    // and must not be read before it has been seen (acquire).
    static uint8_t LoadState(uint8_t* slot) {
        return std::atomic_ref<uint8_t>(slot[offsetof(ShmSlot, empty)]).load(std::memory_order_acquire);
    }
    static void StoreState(uint8_t* slot, uint8_t v) {
        std::atomic_ref<uint8_t>(slot[offsetof(ShmSlot, empty)]).store(v, std::memory_order_release);
    }
    // Each index has one writer; the other side only ever reads it, if at all.
    static int32_t LoadIndex(int32_t* p) { return std::atomic_ref<int32_t>(*p).load(std::memory_order_relaxed); }
    static void StoreIndex(int32_t* p, int32_t v) { std::atomic_ref<int32_t>(*p).store(v, std::memory_order_relaxed); }

    uint8_t* m_pBlock;
    int32_t m_nSlots;
    int32_t* m_pWriteIndex;
    int32_t* m_pReadIndex;
};

template <class Fill>
bool CRing::WriteInPlace(Fill&& fill) {
    const int32_t i = LoadIndex(m_pWriteIndex);  // read once: the other side may change it
    if (i < 0 || i >= m_nSlots) return false;
    uint8_t* slot = Slot(i);
    if (LoadState(slot) == kSlotFull) return false;
    // Slots lie 4-byte aligned in the block (8 + i * 1312), as the record needs.
    fill(*reinterpret_cast<ShmMessage*>(slot));
    StoreState(slot, kSlotFull);
    StoreIndex(m_pWriteIndex, i < m_nSlots - 1 ? i + 1 : 0);
    return true;
}

}  // namespace serverlink
