#include "channel_hub.h"

#include <new>

#include "../common/error.h"
#include "timing.h"

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
        m_state.store(State::Joining, std::memory_order_release);
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
    try {
        auto queue = std::make_unique<CInboundQueue>(n, slots, owner);
        if (it != m_queues.end())
            it->second = std::move(queue);
        else
            m_queues.emplace(clientId, std::move(queue));
        return true;
    } catch (const CError&) {
        return false;  // the ring could not be made; the map is as it was
    } catch (const std::bad_alloc&) {
        return false;  // no room for the entry; the ring made for it went with `queue`
    }
}

CChannelHub::QueueMap::iterator CChannelHub::RemoveLocked(QueueMap::iterator it) {
    // The receive thread holds m_lock only within a pass: asking on that thread,
    // a sink may be removing the very entry the pass stands on. Detach it now
    // (nothing is delivered to it any more) and free it when the pass ends.
    if (OnReceiveThread()) {
        it->second->m_pOwner = nullptr;
        try {
            m_detached.push_back(std::move(it->second));
        } catch (const std::bad_alloc&) {
            // Cannot defer: the ring is leaked rather than freed while in use.
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
    m_state.store(State::Running, std::memory_order_release);
    if (m_thread.Begin()) return true;
    m_state.store(State::Stopped, std::memory_order_release);
    return false;
}

void CChannelHub::JoinThread() {
    m_thread.WaitForExit();
    CAutoLock lock(m_lock);
    m_state.store(State::Stopped, std::memory_order_release);
}

bool CChannelHub::Start() {
    if (OnReceiveThread()) {
        // A sink signing on again from a callback: cancel this thread's own stop,
        // unless a client thread is already waiting for it (that thread starts a
        // new one once this one has ended).
        CAutoLock lock(m_lock);
        if (m_state.load(std::memory_order_relaxed) == State::Stopping)
            m_state.store(State::Running, std::memory_order_release);
        return true;
    }
    CAutoLock serial(m_startStopLock);
    {
        CAutoLock lock(m_lock);
        if (m_state.load(std::memory_order_relaxed) == State::Running) return true;
        // A thread that stopped itself may still be finishing its pass: wait for
        // it, saying so in the same breath as the check above, so that a
        // callback signing on in that pass cannot cancel the stop we wait for.
        if (m_thread.Running()) m_state.store(State::Joining, std::memory_order_release);
    }
    if (m_thread.Running()) JoinThread();
    return BeginThread();
}

void CChannelHub::Stop() {
    if (OnReceiveThread()) {
        // Cannot wait for ourselves: the pass ends and the thread returns.
        CAutoLock lock(m_lock);
        if (!AnyLiveLocked() && m_state.load(std::memory_order_relaxed) == State::Running)
            m_state.store(State::Stopping, std::memory_order_release);
        return;
    }
    CAutoLock serial(m_startStopLock);
    {
        CAutoLock lock(m_lock);
        // A sign-on may have registered a ring since the caller saw the map empty.
        if (AnyLiveLocked() || !m_thread.Running()) return;
        m_state.store(State::Joining, std::memory_order_release);
    }
    JoinThread();
    bool restart = false;
    {
        CAutoLock lock(m_lock);
        restart = AnyLiveLocked();
    }
    // A callback signed on while we waited: its ring must not go unread.
    if (restart) BeginThread();
}

size_t CChannelHub::RingCount() {
    CAutoLock lock(m_lock);
    size_t n = 0;
    for (const auto& entry : m_queues)
        if (entry.second != nullptr) ++n;
    return n;
}

void CChannelHub::FreeDetached() {
    m_detached.clear();
    for (auto it = m_queues.begin(); it != m_queues.end();) {
        if (it->second == nullptr)
            it = m_queues.erase(it);
        else
            ++it;
    }
}

void CChannelHub::Run() {
    ShmMessage msg;  // the thread's one record, reused for every read
    DWORD last = GetTickCount();
    while (m_state.load(std::memory_order_acquire) == State::Running) {
        bool got = false;
        {
            CAutoLock lock(m_lock.Loop());
            // One read per ring per pass, in ascending unsigned clientId order.
            for (auto& entry : m_queues) {
                CInboundQueue* queue = entry.second.get();
                if (queue == nullptr || !queue->Read(msg)) continue;
                got = true;
                try {
                    if (queue->m_pOwner != nullptr) queue->m_pOwner->OnRecord(msg);
                } catch (...) {
                    // Whatever went wrong in handling this record (a sink that
                    // threw, memory running out) costs this record only: the
                    // owner's state is whole again (its walk ended), and the
                    // thread goes on with the next ring.
                }
            }
            if (!got && DWORD(GetTickCount() - last) > kHeartbeatIntervalMs) {
                last = GetTickCount();
                for (auto& entry : m_queues) {
                    if (entry.second == nullptr || entry.second->m_pOwner == nullptr) continue;
                    try {
                        entry.second->m_pOwner->OnHeartbeatDue();
                    } catch (...) {
                        // A heartbeat that could not go is not retried: the next
                        // one comes with the next silence.
                    }
                }
            }
            // Only a pass in which a sink removed a ring has anything to free:
            // the others skip a walk over every entry.
            if (!m_detached.empty()) FreeDetached();
        }
        if (!got)
            Sleep(kIdleSleepMs);
        else
            m_lock.GiveWay();  // records keep coming: a waiting client still gets the lock
    }
}

}  // namespace serverlink
