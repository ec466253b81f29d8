#pragma once
#include <windows.h>

#include <atomic>

#include "../common/handle.h"
#include "../common/object_base.h"

namespace serverlink {

// Runs one member routine of a target object on a new thread and can wait for
// that thread to finish. Begin, WaitForExit and the destructor belong to the
// threads that start and stop it, which serialise them; the running thread
// only sets the exit mark.
class CWorkerThread : public CObjectBase {
public:
    using RunFn = void (*)(void* target);

    template <class T, void (T::*Run)()>
    static void Invoke(void* target) {
        (static_cast<T*>(target)->*Run)();
    }

    // A running thread always holds the module mapped; `countsAsUse` also makes
    // it count as module use, so that COM is told the DLL cannot unload. A
    // thread that only ever outlives its users by a moment need not.
    CWorkerThread(void* target, RunFn run, bool countsAsUse = true)
        : m_pTarget(target), m_pfnRun(run), m_bCountsAsUse(countsAsUse) {}
    ~CWorkerThread() override { WaitForExit(); }

    // Starts the thread; false (and nothing running) if it could not be made.
    bool Begin();
    // Waits until the routine has returned, or until the platform has ended the
    // thread (at process exit other threads vanish without returning), then
    // closes the handle.
    void WaitForExit();
    bool Running() const { return static_cast<bool>(m_thread); }
    DWORD ThreadId() const { return m_threadId.load(std::memory_order_acquire); }

private:
    static unsigned __stdcall ThreadProc(void* self);

    CHandle m_thread;
    void* const m_pTarget;
    const RunFn m_pfnRun;
    const bool m_bCountsAsUse;
    // Set by the thread after everything its routine did (release), read by
    // the one waiting for it (acquire).
    std::atomic<bool> m_bExited{true};
    std::atomic<DWORD> m_threadId{0};
    HMODULE m_hModule = nullptr;  // loader reference the thread gives back as it exits
};

}  // namespace serverlink
