#pragma once
#include <windows.h>

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

// Scoped lock: every way out of the scope, exceptions included, leaves the lock.
class CAutoLock : public CObjectBase {
public:
    explicit CAutoLock(CCritSec& cs) : m_cs(cs) { m_cs.Lock(); }
    ~CAutoLock() override { m_cs.Unlock(); }

private:
    CCritSec& m_cs;
};

}  // namespace serverlink
