#pragma once
#include <windows.h>

#include <cstdint>

#include "../common/object_base.h"

namespace serverlink {

// Runs one member routine of a target object on a new thread and can wait for
// that thread to finish.
class CWorkerThread : public CObjectBase {
public:
    using RunFn = void (*)(void* target, uint32_t param);

    template <class T, void (T::*Run)(uint32_t)>
    static void Invoke(void* target, uint32_t param) {
        (static_cast<T*>(target)->*Run)(param);
    }

    // A running thread always holds the module mapped; `countsAsUse` also makes
    // it count as module use, so that COM is told the DLL cannot unload. A
    // thread that only ever outlives its users by a moment need not.
    CWorkerThread(void* target, RunFn run, bool countsAsUse = true)
        : m_pTarget(target), m_pfnRun(run), m_bCountsAsUse(countsAsUse) {}
    ~CWorkerThread() override { WaitForExit(); }

    // Starts the thread; false (and nothing running) if it could not be made.
    bool Begin(uint32_t param);
    // Waits until the routine has returned, or until the platform has ended the
    // thread (at process exit other threads vanish without returning), then
    // closes the handle.
    void WaitForExit();
    bool Running() const { return m_hThread != nullptr; }
    DWORD ThreadId() const { return m_threadId; }

private:
    struct StartBlock {
        CWorkerThread* self;
        uint32_t param;
    };
    static unsigned __stdcall ThreadProc(void* arg);

    HANDLE m_hThread = nullptr;
    StartBlock m_start{};
    void* m_pTarget;
    RunFn m_pfnRun;
    const bool m_bCountsAsUse;
    volatile LONG m_bExited = 1;
    volatile DWORD m_threadId = 0;
    HMODULE m_hModule = nullptr;  // loader reference the thread gives back as it exits
};

}  // namespace serverlink
