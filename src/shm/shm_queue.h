#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "../common/error.h"
#include "../common/handle.h"
#include "../common/object_base.h"
#include "ring.h"
#include "shm_message.h"

namespace serverlink {

// "fund_shm_" followed by n in unsigned decimal.
std::string RingName(uint32_t n);

// A named page-file section, mapped whole. Throws CError("create shm fail!")
// when the section cannot be created or opened, CError("map shm fail!") when it
// cannot be mapped or has fewer than `size` committed, writable bytes (another
// process may have made it first); nothing stays open after a throw.
class CShmMapping : public CObjectBase {
public:
    CShmMapping(uint32_t n, uint32_t size, bool create);

    uint8_t* View() const { return static_cast<uint8_t*>(m_view.Get()); }

private:
    CHandle m_mapping;  // first: the view goes before the section's handle
    CMappedView m_view;
};

// A named ring: the section (first member, so it outlives the ring logic on
// it) and the ring logic over its view. One writer and one reader, usually in
// different processes; neither side takes a lock. Callers serialise their own
// side.
class CShmQueue {
public:
    // Create mode (re)initialises the ring: indexes 0, every slot cleared and free.
    CShmQueue(uint32_t n, int32_t slots, bool create);
    ~CShmQueue() = default;
    CShmQueue(const CShmQueue&) = delete;
    CShmQueue& operator=(const CShmQueue&) = delete;

    // False when the ring is full or the write index is out of range.
    bool Write(const ShmMessage& msg) { return m_ring.Write(msg); }
    // Fills the free slot in place (see CRing::WriteInPlace).
    template <class Fill>
    bool WriteInPlace(Fill&& fill) {
        return m_ring.WriteInPlace(static_cast<Fill&&>(fill));
    }
    // False when the ring is empty or the read index is out of range; the
    // caller's record is then left untouched.
    bool Read(ShmMessage& msg) { return m_ring.Read(msg); }

    int32_t Slots() const { return m_ring.Slots(); }
    const uint8_t* View() const { return m_mapping.View(); }

private:
    CShmMapping m_mapping;
    CRing m_ring;
};

}  // namespace serverlink
