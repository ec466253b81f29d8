#include "mta.h"

#include <objbase.h>

#include <atomic>
#include <new>

#include "../common/crit_sec.h"
#include "../common/handle.h"
#include "../shm/worker_thread.h"

namespace serverlink {

CComInitGuard::CComInitGuard() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // S_FALSE: already in the MTA, and the entry still wants its CoUninitialize.
    // RPC_E_CHANGED_MODE: a single-threaded apartment, left as it is.
    m_bInitialized = SUCCEEDED(hr);
    m_bInMta = m_bInitialized;
}

CComInitGuard::~CComInitGuard() {
    if (m_bInitialized) CoUninitialize();
}

namespace {

struct PoolJob {
    void (*fn)(void*);
    void* ctx;
    HANDLE done;
    bool ran;
};

VOID CALLBACK RunPoolJob(PTP_CALLBACK_INSTANCE instance, PVOID p) {
    PoolJob* job = static_cast<PoolJob*>(p);
    {
        CComInitGuard com;
        if (com.InMta()) {
            job->fn(job->ctx);
            job->ran = true;
        }
    }
    // Set by the pool once this callback has returned: the waiter may let the
    // module go right after, and no instruction of it is left to run here.
    SetEventWhenCallbackReturns(instance, job->done);
}

}  // namespace

bool RunInMta(void (*fn)(void*), void* ctx) {
    {
        CComInitGuard com;
        if (com.InMta()) {
            fn(ctx);
            return true;
        }
    }
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    if (CoGetApartmentType(&type, &qualifier) != S_OK || (type != APTTYPE_STA && type != APTTYPE_MAINSTA))
        return false;
    CHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done) return false;
    PoolJob job{fn, ctx, done.Get(), false};
    if (!TrySubmitThreadpoolCallback(&RunPoolJob, &job, nullptr)) return false;
    // A single-threaded apartment keeps serving its calls and messages while it
    // waits, as it would during a call of its own. The job lives on this stack:
    // whatever the wait reports, it ends only with the job.
    HANDLE handles[] = {done.Get()};
    DWORD index = 0;
    if (CoWaitForMultipleHandles(0, INFINITE, 1, handles, &index) != S_OK) WaitForSingleObject(done.Get(), INFINITE);
    return job.ran;
}

namespace {

// The thread that holds the MTA open. It only outlives the last holder by the
// moment it takes to leave, so it keeps the module mapped without counting as
// module use.
class CMtaKeeper {
public:
    CMtaKeeper()
        : m_wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          m_ready(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          m_thread(this, &CWorkerThread::Invoke<CMtaKeeper, &CMtaKeeper::Run>, false) {}

    bool Acquire() {
        CAutoLock lock(m_lock);
        if (m_nHolders == 0 && !Available()) return false;
        ++m_nHolders;
        return true;
    }

    void Release() {
        CAutoLock lock(m_lock);
        if (--m_nHolders == 0) SetEvent(m_wake.Get());
    }

private:
    // m_lock held, no holder: a keeper in the MTA that stays there.
    bool Available() {
        // Woken or not, a keeper that has not yet decided to leave sees the new
        // holder when it takes the lock, and stays.
        if (m_thread.Running() && !m_bLeaving) return true;
        if (m_thread.Running()) m_thread.WaitForExit();  // it no longer needs the lock
        if (!m_wake || !m_ready) return false;
        m_bLeaving = false;
        m_bInMta = false;
        if (!m_thread.Begin()) return false;
        WaitForSingleObject(m_ready.Get(), INFINITE);
        return m_bInMta;
    }

    void Run() {
        CComInitGuard com;
        m_bInMta = com.InMta();
        SetEvent(m_ready.Get());
        if (!m_bInMta) {
            CAutoLock lock(m_lock);
            m_bLeaving = true;
            return;
        }
        for (;;) {
            WaitForSingleObject(m_wake.Get(), INFINITE);
            CAutoLock lock(m_lock);
            if (m_nHolders == 0) {
                m_bLeaving = true;
                return;  // leaves the MTA, outside the lock
            }
        }
    }

    CCritSec m_lock;
    LONG m_nHolders = 0;     // m_lock
    bool m_bLeaving = false;  // the keeper is on its way out (m_lock)
    bool m_bInMta = false;    // written by the keeper before m_ready
    CHandle m_wake;           // set when the last holder goes
    CHandle m_ready;          // set once the keeper has tried to enter
    CWorkerThread m_thread;
};

// Made on first use (tried again after a failure), freed when the module
// unloads. Not a static object: at process exit its thread may have been ended
// in the middle of its work, and nothing of it may be waited for then.
std::atomic<CMtaKeeper*> g_pKeeper{nullptr};

CMtaKeeper* Keeper() {
    if (CMtaKeeper* keeper = g_pKeeper.load()) return keeper;
    CMtaKeeper* made = new (std::nothrow) CMtaKeeper();
    CMtaKeeper* first = nullptr;
    if (made == nullptr || g_pKeeper.compare_exchange_strong(first, made)) return made;
    delete made;  // another thread's came first; this one never started its thread
    return first;
}

}  // namespace

bool MtaAcquire() {
    CMtaKeeper* keeper = Keeper();
    return keeper != nullptr && keeper->Acquire();
}

void MtaRelease() { Keeper()->Release(); }

void ShutdownMta() {
    // Under the loader lock, and nothing waits: the keeper's thread held the
    // module while it ran, so it has finished by the time the module unloads.
    delete g_pKeeper.exchange(nullptr);
}

}  // namespace serverlink
