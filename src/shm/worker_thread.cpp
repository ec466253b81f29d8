#include "worker_thread.h"

#include <process.h>

#include "../common/module_lock.h"
#include "timing.h"

namespace serverlink {

namespace {
// Sets the exit mark on every way out of the routine, exceptions included.
struct ExitMark {
    std::atomic<bool>& exited;
    ~ExitMark() { exited.store(true, std::memory_order_release); }
};
}  // namespace

bool CWorkerThread::Begin() {
    m_bExited.store(false, std::memory_order_relaxed);
    // The thread keeps the module loaded until its last instruction has run, so
    // unloading can never pull code out from under it.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadProc), &self);
    m_hModule = self;
    if (m_bCountsAsUse) ModuleAddRef();
    auto undo = [&] {
        if (m_bCountsAsUse) ModuleRelease();
        if (self != nullptr) FreeLibrary(self);
        m_hModule = nullptr;
        m_thread.Reset();
        m_threadId.store(0, std::memory_order_release);
        m_bExited.store(true, std::memory_order_release);
    };
    // Made suspended: the routine may ask whether it runs on this thread from
    // its first instruction on, so handle and id are published before it starts.
    unsigned id = 0;
    m_thread.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &ThreadProc, this, CREATE_SUSPENDED, &id)));
    if (!m_thread) {
        undo();
        return false;
    }
    m_threadId.store(id, std::memory_order_release);
    if (ResumeThread(m_thread.Get()) == DWORD(-1)) {
        // It never ran: end it before anything waits for it.
        TerminateThread(m_thread.Get(), 0);
        WaitForSingleObject(m_thread.Get(), INFINITE);
        undo();
        return false;
    }
    return true;
}

unsigned __stdcall CWorkerThread::ThreadProc(void* arg) {
    CWorkerThread* self = static_cast<CWorkerThread*>(arg);
    const HMODULE module = self->m_hModule;
    const bool countsAsUse = self->m_bCountsAsUse;
    {
        ExitMark exited{self->m_bExited};
        self->m_pfnRun(self->m_pTarget);
    }
    // `self` may be gone from here on.
    if (countsAsUse) ModuleRelease();
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
}

void CWorkerThread::WaitForExit() {
    if (!m_thread) return;
    // A thread the platform has already ended (process exit) never sets the
    // mark, but its handle is signalled. Polled rather than waited for: this
    // may run while the loader lock is held (module unload), which the
    // thread's own exit needs.
    while (!m_bExited.load(std::memory_order_acquire) && WaitForSingleObject(m_thread.Get(), 0) != WAIT_OBJECT_0)
        Sleep(kExitPollMs);
    // Forget the id before the handle goes: once it is closed the id may be
    // reused, and no new thread may then pass for this one.
    m_threadId.store(0, std::memory_order_release);
    m_thread.Reset();
}

}  // namespace serverlink
