#pragma once
#include <windows.h>

namespace serverlink {

// Owns one kernel handle: closed when the owner goes or is given another.
// Null and INVALID_HANDLE_VALUE both mean "none".
class CHandle {
public:
    CHandle() = default;
    explicit CHandle(HANDLE h) : m_h(Valid(h) ? h : nullptr) {}
    ~CHandle() { Reset(); }
    CHandle(CHandle&& other) noexcept : m_h(other.Release()) {}
    CHandle& operator=(CHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;

    HANDLE Get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }
    void Reset(HANDLE h = nullptr) {
        if (m_h != nullptr) CloseHandle(m_h);
        m_h = Valid(h) ? h : nullptr;
    }
    HANDLE Release() {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }

private:
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    HANDLE m_h = nullptr;
};

// Owns one mapped view of a section: unmapped when the owner goes.
class CMappedView {
public:
    CMappedView() = default;
    explicit CMappedView(void* view) : m_p(view) {}
    ~CMappedView() { Reset(); }
    CMappedView(CMappedView&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    CMappedView& operator=(CMappedView&& other) noexcept {
        if (this != &other) {
            Reset();
            m_p = other.m_p;
            other.m_p = nullptr;
        }
        return *this;
    }
    CMappedView(const CMappedView&) = delete;
    CMappedView& operator=(const CMappedView&) = delete;

    void* Get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    void Reset() {
        if (m_p != nullptr) UnmapViewOfFile(m_p);
        m_p = nullptr;
    }

private:
    void* m_p = nullptr;
};

}  // namespace serverlink
