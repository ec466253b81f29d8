#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "object_base.h"

namespace serverlink {

// Owns one Win32 critical section (recursive: the owning thread may re-enter).
class CCritSec : public CObjectBase {
public:
    CCritSec() { InitializeCriticalSection(&m_cs); }
    ~CCritSec() override { DeleteCriticalSection(&m_cs); }
    void Lock() { EnterCriticalSection(&m_cs); }
    void Unlock() { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

// A critical section that one thread takes again and again (the receive thread,
// pass after pass) and other threads take now and then. Critical sections are
// not fair: a thread that leaves and re-enters at once usually gets the lock
// back, so without help a waiter could wait as long as the loop runs. Other
// threads announce themselves (Lock); the looping thread takes the lock without
// announcing (Loop) and calls GiveWay between two holds, which returns once every
// thread that was waiting then has had its turn, and costs two loads otherwise.
class CTurnLock : public CObjectBase {
public:
    void Lock() {
        m_asked.fetch_add(1, std::memory_order_relaxed);
        m_cs.Lock();
        m_served.fetch_add(1, std::memory_order_relaxed);
    }
    void Unlock() { m_cs.Unlock(); }
    // The looping thread's own hold.
    CCritSec& Loop() { return m_cs; }
    // Only while the caller does not hold the lock.
    void GiveWay() const {
        const uint32_t asked = m_asked.load(std::memory_order_relaxed);
        while (static_cast<int32_t>(asked - m_served.load(std::memory_order_relaxed)) > 0) SwitchToThread();
    }
    // Threads waiting for the lock now (tests and diagnostics).
    uint32_t Waiting() const {
        return m_asked.load(std::memory_order_relaxed) - m_served.load(std::memory_order_relaxed);
    }

private:
    CCritSec m_cs;
    std::atomic<uint32_t> m_asked{0};
    std::atomic<uint32_t> m_served{0};
};

// Scoped lock: every way out of the scope, exceptions included, leaves the lock.
template <class Lockable = CCritSec>
class CAutoLock : public CObjectBase {
public:
    explicit CAutoLock(Lockable& cs) : m_cs(cs) { m_cs.Lock(); }
    ~CAutoLock() override { m_cs.Unlock(); }

private:
    Lockable& m_cs;
};

}  // namespace serverlink
