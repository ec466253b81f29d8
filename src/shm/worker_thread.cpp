#include "worker_thread.h"

#include <process.h>

#include "../common/module_lock.h"

namespace serverlink {

namespace {
// Sets the exited flag on every way out of the routine, exceptions included.
struct ExitFlag {
    volatile LONG* flag;
    ~ExitFlag() { InterlockedExchange(flag, 1); }
};
}  // namespace

bool CWorkerThread::Begin(uint32_t param) {
    InterlockedExchange(&m_bExited, 0);
    m_start.self = this;
    m_start.param = param;
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
        m_hThread = nullptr;
        m_threadId = 0;
        InterlockedExchange(&m_bExited, 1);
    };
    // Made suspended: the routine may ask whether it runs on this thread from
    // its first instruction on, so handle and id are published before it starts.
    unsigned id = 0;
    const uintptr_t h = _beginthreadex(nullptr, 0, &ThreadProc, &m_start, CREATE_SUSPENDED, &id);
    if (h == 0 || h == uintptr_t(-1)) {
        undo();
        return false;
    }
    m_hThread = reinterpret_cast<HANDLE>(h);
    m_threadId = id;
    if (ResumeThread(m_hThread) == DWORD(-1)) {
        // It never ran: end it before anything waits for it.
        const HANDLE never = m_hThread;
        TerminateThread(never, 0);
        WaitForSingleObject(never, INFINITE);
        CloseHandle(never);
        undo();
        return false;
    }
    return true;
}

unsigned __stdcall CWorkerThread::ThreadProc(void* arg) {
    StartBlock* block = static_cast<StartBlock*>(arg);
    CWorkerThread* self = block->self;
    const HMODULE module = self->m_hModule;
    const bool countsAsUse = self->m_bCountsAsUse;
    {
        ExitFlag exited{&self->m_bExited};
        self->m_pfnRun(self->m_pTarget, block->param);
    }
    // `self` may be gone from here on.
    if (countsAsUse) ModuleRelease();
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
}

void CWorkerThread::WaitForExit() {
    if (m_hThread == nullptr) return;
    // A thread the platform has already ended (process exit) never sets the
    // flag, but its handle is signalled.
    while (InterlockedCompareExchange(&m_bExited, 0, 0) == 0 && WaitForSingleObject(m_hThread, 0) != WAIT_OBJECT_0)
        Sleep(10);
    // Forget the id before the handle goes: once it is closed the id may be
    // reused, and no new thread may then pass for this one.
    const HANDLE done = m_hThread;
    m_threadId = 0;
    m_hThread = nullptr;
    CloseHandle(done);
}

}  // namespace serverlink
