#pragma once
// A view of a ring's section made without the ring classes, as the other
// process has it: for tests that look at exact offsets or play a hostile party.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "patience.h"
#include "ring_layout.h"

namespace testing_support {

class RawSection {
public:
    // Opens the existing section, or creates one of createSize bytes.
    explicit RawSection(uint32_t n, uint32_t createSize = 0) {
        const std::string name = "fund_shm_" + std::to_string(n);
        m_handle = createSize != 0
                       ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, createSize, name.c_str())
                       : OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
        if (m_handle == nullptr) return;
        m_view = static_cast<uint8_t*>(MapViewOfFile(m_handle, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        MEMORY_BASIC_INFORMATION mbi{};
        if (m_view != nullptr && VirtualQuery(m_view, &mbi, sizeof(mbi)) == sizeof(mbi)) m_size = mbi.RegionSize;
    }
    ~RawSection() {
        if (m_view != nullptr) UnmapViewOfFile(m_view);
        if (m_handle != nullptr) CloseHandle(m_handle);
    }
    RawSection(const RawSection&) = delete;
    RawSection& operator=(const RawSection&) = delete;

    bool Ok() const { return m_view != nullptr; }
    uint8_t* Bytes() const { return m_view; }
    // The whole mapped view, page slack included: a write past the ring's end shows here.
    size_t Size() const { return m_size; }
    std::vector<uint8_t> Snapshot() const { return std::vector<uint8_t>(m_view, m_view + m_size); }

    int32_t Get32(size_t at) const {
        int32_t v;
        std::memcpy(&v, m_view + at, 4);
        return v;
    }
    uint16_t Get16(size_t at) const {
        uint16_t v;
        std::memcpy(&v, m_view + at, 2);
        return v;
    }
    void Set32(size_t at, int32_t v) { std::memcpy(m_view + at, &v, 4); }
    void Set16(size_t at, uint16_t v) { std::memcpy(m_view + at, &v, 2); }
    int32_t WriteIndex() const { return Get32(kBlockWriteIndexAt); }
    int32_t ReadIndex() const { return Get32(kBlockReadIndexAt); }
    uint8_t State(size_t slot) const { return m_view[BlockSlotAt(slot) + kBlockStateAt]; }

private:
    HANDLE m_handle = nullptr;  // owned by the test thread
    uint8_t* m_view = nullptr;
    size_t m_size = 0;
};

// The writing side of a 128-slot ring over a RawSection, as the local server
// writes the incoming ring: message bytes first, then the state byte with
// release, then the write index. The writer keeps its own position, so a test
// may scribble over the shared index and state bytes and still write on.
class RawWriter {
public:
    static constexpr size_t kSlots = 128;

    explicit RawWriter(RawSection& section) : m_s(section) {}

    // Into the slot at the writer's position, if that slot is free.
    bool TryWrite(const void* record1308) {
        uint8_t* slot = m_s.Bytes() + BlockSlotAt(m_next);
        if (StateRef(m_next).load(std::memory_order_acquire) == 0) return false;
        std::memcpy(slot, record1308, kBlockMessageSize);
        StateRef(m_next).store(0, std::memory_order_release);
        m_next = (m_next + 1) % kSlots;
        m_s.Set32(kBlockWriteIndexAt, static_cast<int32_t>(m_next));
        return true;
    }
    // Waits while the ring is full; false if it stayed full for limitMs (the
    // reader is gone: a hang guard, not a speed limit).
    bool Write(const void* record1308, DWORD limitMs = kPatienceMs) {
        const ULONGLONG start = GetTickCount64();
        for (unsigned spins = 0; !TryWrite(record1308); ++spins) {
            if ((spins & 255) == 255 && GetTickCount64() - start > limitMs) return false;
            if ((spins & 15) == 15)
                Sleep(1);
            else
                SwitchToThread();
        }
        return true;
    }

    size_t Next() const { return m_next; }
    void SetNext(size_t slot) { m_next = slot % kSlots; }
    std::atomic_ref<uint8_t> StateRef(size_t slot) {
        return std::atomic_ref<uint8_t>(m_s.Bytes()[BlockSlotAt(slot) + kBlockStateAt]);
    }

private:
    RawSection& m_s;
    size_t m_next = 0;
};

}  // namespace testing_support
