#include "channel_hub.h"

#include <atomic>
#include <new>

namespace serverlink {

namespace {
// The hub, once made. Read by Shutdown, which must not make one.
std::atomic<CChannelHub*> g_hub{nullptr};
}  // namespace

CChannelHub& CChannelHub::Instance() {
    // Made on first use (thread-safe); deliberately not a static object, so that
    // no destructor runs over it at process exit.
    static CChannelHub* const hub = [] {
        CChannelHub* made = new CChannelHub();
        g_hub.store(made);
        return made;
    }();
    return *hub;
}

void CChannelHub::Shutdown() { delete g_hub.exchange(nullptr); }

CChannelHub::CChannelHub() : m_thread(this, &CWorkerThread::Invoke<CChannelHub, &CChannelHub::Run>) {}

CChannelHub::~CChannelHub() {
    // Only reached through Shutdown, when the module is unloaded: the receive
    // thread keeps the module loaded while it runs, so it has ended by now, but
    // stop it anyway before anything it uses goes away.
    if (m_thread.Running()) {
        InterlockedExchange(&m_bRunning, 0);
        InterlockedExchange(&m_bStopping, 1);
        m_thread.WaitForExit();
    }
    m_queues.clear();
    m_detached.clear();
}

bool CChannelHub::OnReceiveThread() const {
    return m_thread.Running() && GetCurrentThreadId() == m_thread.ThreadId();
}

bool CChannelHub::AnyLiveLocked() const {
    for (const auto& entry : m_queues)
        if (entry.second != nullptr) return true;
    return false;
}

bool CChannelHub::Register(uint32_t clientId, IRingOwner* owner, uint32_t n, int32_t slots) {
    if (owner == nullptr) return false;
    CAutoLock lock(m_lock);
    auto it = m_queues.find(clientId);
    // A detached entry (removed during this pass) may be replaced; a live one may not.
    if (it != m_queues.end() && it->second != nullptr) return false;
    std::unique_ptr<CInboundQueue> queue;
    try {
        queue.reset(new (std::nothrow) CInboundQueue(n, slots, owner));
    } catch (const char*) {
        return false;
    }
    if (queue == nullptr) return false;
    try {
        if (it != m_queues.end())
            it->second = std::move(queue);
        else
            m_queues.emplace(clientId, std::move(queue));
    } catch (...) {
        return false;  // the ring goes with `queue`
    }
    return true;
}

CChannelHub::QueueMap::iterator CChannelHub::RemoveLocked(QueueMap::iterator it) {
    if (m_bInPass && OnReceiveThread()) {
        // The pass may be iterating this entry: detach it now (nothing is
        // delivered to it any more) and free it when the pass ends.
        it->second->m_pOwner = nullptr;
        m_bDetached = true;
        try {
            m_detached.push_back(std::move(it->second));
        } catch (...) {
            // Cannot defer: leak the ring rather than free memory in use.
            (void)it->second.release();
        }
        return std::next(it);
    }
    return m_queues.erase(it);
}

bool CChannelHub::Unregister(uint32_t clientId, IRingOwner* owner) {
    bool removed = false;
    bool empty = false;
    {
        CAutoLock lock(m_lock);
        auto it = m_queues.find(clientId);
        if (it != m_queues.end() && it->second != nullptr && (owner == nullptr || it->second->m_pOwner == owner)) {
            RemoveLocked(it);
            removed = true;
        }
        empty = !AnyLiveLocked();
    }
    // Outside m_lock: the receive thread needs it to finish its pass.
    if (empty) Stop();
    return removed;
}

bool CChannelHub::UnregisterOwner(IRingOwner* owner) {
    bool removed = false;
    bool empty = false;
    {
        CAutoLock lock(m_lock);
        for (auto it = m_queues.begin(); it != m_queues.end();) {
            if (it->second != nullptr && it->second->m_pOwner == owner) {
                it = RemoveLocked(it);
                removed = true;
            } else {
                ++it;
            }
        }
        empty = !AnyLiveLocked();
    }
    if (empty) Stop();
    return removed;
}

bool CChannelHub::BeginThread() {
    // The state is published before the thread exists: its very first pass may
    // stop it again (a sink removing the last ring), and that stop must find the
    // state it undoes rather than be overwritten by us afterwards.
    InterlockedExchange(&m_bStopping, 0);
    InterlockedExchange(&m_bRunning, 1);
    if (m_thread.Begin(0)) return true;
    InterlockedExchange(&m_bRunning, 0);
    return false;
}

bool CChannelHub::Start() {
    if (OnReceiveThread()) {
        // A sink signing on again from a callback: cancel this thread's own stop,
        // unless a client thread is already waiting for it (that thread starts a
        // new one once this one has ended).
        CAutoLock lock(m_lock);
        if (!m_bClientStop) {
            InterlockedExchange(&m_bStopping, 0);
            InterlockedExchange(&m_bRunning, 1);
        }
        return true;
    }
    CAutoLock serial(m_startStopLock);
    bool wait = false;
    {
        CAutoLock lock(m_lock);
        if (InterlockedCompareExchange(&m_bRunning, 0, 0) != 0) return true;
        // A thread that stopped itself may still be finishing its pass. Say that
        // a client waits for it, in the same breath as the check above, so that
        // a callback signing on in that pass cannot cancel the stop we wait for.
        if (m_thread.Running()) {
            m_bClientStop = true;
            wait = true;
        }
    }
    if (wait) {
        m_thread.WaitForExit();
        CAutoLock lock(m_lock);
        m_bClientStop = false;
    }
    return BeginThread();
}

void CChannelHub::Stop() {
    if (OnReceiveThread()) {
        // Cannot wait for ourselves: the pass ends and the thread returns.
        CAutoLock lock(m_lock);
        if (AnyLiveLocked()) return;
        InterlockedExchange(&m_bRunning, 0);
        InterlockedExchange(&m_bStopping, 1);
        return;
    }
    CAutoLock serial(m_startStopLock);
    {
        CAutoLock lock(m_lock);
        // A sign-on may have registered a ring since the caller saw the map empty.
        if (AnyLiveLocked()) return;
        if (!m_thread.Running()) return;
        InterlockedExchange(&m_bRunning, 0);
        InterlockedExchange(&m_bStopping, 1);
        m_bClientStop = true;
    }
    m_thread.WaitForExit();
    bool restart = false;
    {
        CAutoLock lock(m_lock);
        m_bClientStop = false;
        restart = AnyLiveLocked();
    }
    // A callback signed on while we waited: its ring must not go unread.
    if (restart) BeginThread();
}

bool CChannelHub::IsRunning() {
    return InterlockedCompareExchange(&m_bRunning, 0, 0) != 0;
}

size_t CChannelHub::RingCount() {
    CAutoLock lock(m_lock);
    size_t n = 0;
    for (const auto& entry : m_queues)
        if (entry.second != nullptr) ++n;
    return n;
}

void CChannelHub::FreeDetached() {
    m_bDetached = false;
    m_detached.clear();
    for (auto it = m_queues.begin(); it != m_queues.end();) {
        if (it->second == nullptr)
            it = m_queues.erase(it);
        else
            ++it;
    }
}

void CChannelHub::Run(uint32_t) {
    ShmMessage msg;  // the thread's one record, reused for every read
    DWORD last = GetTickCount();
    while (InterlockedCompareExchange(&m_bStopping, 0, 0) == 0) {
        bool got = false;
        {
            CAutoLock lock(m_lock.Loop());
            m_bInPass = true;
            // One read per ring per pass, in ascending unsigned clientId order.
            for (auto& entry : m_queues) {
                CInboundQueue* queue = entry.second.get();
                if (queue == nullptr || !queue->Read(msg)) continue;
                got = true;
                // Whatever goes wrong in handling one record (a sink that throws,
                // memory running out) costs that record only, never the thread.
                try {
                    if (queue->m_pOwner != nullptr) queue->m_pOwner->OnRecord(msg);
                } catch (...) {
                }
            }
            if (!got && DWORD(GetTickCount() - last) > 7000) {
                last = GetTickCount();
                for (auto& entry : m_queues) {
                    if (entry.second == nullptr || entry.second->m_pOwner == nullptr) continue;
                    try {
                        entry.second->m_pOwner->OnHeartbeatDue();
                    } catch (...) {
                    }
                }
            }
            m_bInPass = false;
            // Only a pass in which a sink removed a ring has anything to free:
            // the others skip a walk over every entry.
            if (m_bDetached) FreeDetached();
        }
        if (!got)
            Sleep(2);
        else
            m_lock.GiveWay();  // records keep coming: a waiting client still gets the lock
    }
}

}  // namespace serverlink
