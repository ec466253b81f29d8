#pragma once
// A ring's section as plain heap bytes of exactly the section's size, so that
// AddressSanitizer reports any access past its end.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "ring_layout.h"

namespace testing_support {

class RingBlock {
public:
    explicit RingBlock(size_t slots, uint8_t fill = 0)
        : m_size(BlockSize(slots)), m_bytes(new uint8_t[BlockSize(slots)]) {
        std::memset(m_bytes.get(), fill, m_size);
    }

    uint8_t* Bytes() const { return m_bytes.get(); }
    size_t Size() const { return m_size; }
    std::vector<uint8_t> Snapshot() const { return std::vector<uint8_t>(m_bytes.get(), m_bytes.get() + m_size); }

    int32_t Get32(size_t at) const {
        int32_t v;
        std::memcpy(&v, m_bytes.get() + at, 4);
        return v;
    }
    void Set32(size_t at, int32_t v) { std::memcpy(m_bytes.get() + at, &v, 4); }
    int32_t WriteIndex() const { return Get32(kBlockWriteIndexAt); }
    int32_t ReadIndex() const { return Get32(kBlockReadIndexAt); }
    void SetWriteIndex(int32_t v) { Set32(kBlockWriteIndexAt, v); }
    void SetReadIndex(int32_t v) { Set32(kBlockReadIndexAt, v); }
    uint8_t State(size_t slot) const { return m_bytes[BlockSlotAt(slot) + kBlockStateAt]; }
    void SetState(size_t slot, uint8_t v) { m_bytes[BlockSlotAt(slot) + kBlockStateAt] = v; }
    uint8_t* Slot(size_t slot) const { return m_bytes.get() + BlockSlotAt(slot); }

private:
    size_t m_size;
    std::unique_ptr<uint8_t[]> m_bytes;  // owned by the test's thread
};

}  // namespace testing_support
