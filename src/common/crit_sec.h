#pragma once
#include <windows.h>

#include "object_base.h"

namespace serverlink {

// Owns one Win32 critical section (recursive: the owning thread may re-enter).
// Every lock here is held for well under a microsecond on its busy paths, far
// less than a thread takes to sleep in the kernel and wake again, so a thread
// that finds it taken spins a while first (the platform ignores the spin count
// on a single processor).
class CCritSec : public CObjectBase {
public:
    static constexpr DWORD kSpinCount = 4000;
    CCritSec() { InitializeCriticalSectionAndSpinCount(&m_cs, kSpinCount); }
    ~CCritSec() override { DeleteCriticalSection(&m_cs); }
    void Lock() { EnterCriticalSection(&m_cs); }
    void Unlock() { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

// Scoped lock: every way out of the scope, exceptions included, leaves the lock.
class CAutoLock : public CObjectBase {
public:
    explicit CAutoLock(CCritSec& cs) : m_cs(cs) { m_cs.Lock(); }
    ~CAutoLock() override { m_cs.Unlock(); }

private:
    CCritSec& m_cs;
};

}  // namespace serverlink
