#include "channel_hub.h"

#include <new>

#include "../link/server_link.h"

namespace serverlink {

CChannelHub& CChannelHub::Instance() {
    // Constructed on first use (thread-safe), destroyed with the module's statics.
    static CChannelHub hub;
    return hub;
}

CChannelHub::CChannelHub() : m_thread(this, &CWorkerThread::Invoke<CChannelHub, &CChannelHub::Run>) {}

CChannelHub::~CChannelHub() {
    // Rings may still be registered (clients that never signed off): stop the
    // thread before anything it uses goes away. At process exit the thread is
    // already gone and WaitForExit sees its handle signalled.
    if (m_thread.Running()) {
        InterlockedExchange(&m_bRunning, 0);
        InterlockedExchange(&m_bStopping, 1);
        m_thread.WaitForExit();
    }
    for (auto& entry : m_queues) delete entry.second;
    m_queues.clear();
    FreeDetached();
}

bool CChannelHub::OnReceiveThread() const {
    return m_thread.Running() && GetCurrentThreadId() == m_thread.ThreadId();
}

bool CChannelHub::Register(uint32_t clientId, CServerLink* owner, uint32_t n, int32_t slots) {
    if (owner == nullptr) return false;
    CAutoLock lock(m_lock);
    auto it = m_queues.find(clientId);
    // A detached entry (removed during this pass) may be replaced; a live one may not.
    if (it != m_queues.end() && it->second != nullptr) return false;
    CInboundQueue* queue = nullptr;
    try {
        queue = new (std::nothrow) CInboundQueue(n, slots, owner);
    } catch (const char*) {
        return false;
    }
    if (queue == nullptr) return false;
    try {
        if (it != m_queues.end())
            it->second = queue;
        else
            m_queues.emplace(clientId, queue);
    } catch (...) {
        delete queue;
        return false;
    }
    return true;
}

bool CChannelHub::RemoveLocked(std::map<uint32_t, CInboundQueue*>::iterator it) {
    CInboundQueue* queue = it->second;
    if (m_bInPass && OnReceiveThread()) {
        // The pass may be iterating this entry: detach it now (nothing is
        // delivered to it any more) and free it when the pass ends.
        it->second = nullptr;
        queue->m_pOwner = nullptr;
        try {
            m_detached.push_back(queue);
        } catch (...) {
            // Cannot defer: leak the ring rather than free memory in use.
        }
    } else {
        delete queue;
        m_queues.erase(it);
    }
    for (const auto& entry : m_queues)
        if (entry.second != nullptr) return false;
    return true;
}

bool CChannelHub::Unregister(uint32_t clientId, CServerLink* owner) {
    bool removed = false;
    bool empty = false;
    {
        CAutoLock lock(m_lock);
        auto it = m_queues.find(clientId);
        if (it != m_queues.end() && it->second != nullptr && (owner == nullptr || it->second->m_pOwner == owner)) {
            empty = RemoveLocked(it);
            removed = true;
        } else {
            empty = true;
            for (const auto& entry : m_queues)
                if (entry.second != nullptr) empty = false;
        }
    }
    // Outside m_lock: the receive thread needs it to finish its pass.
    if (empty) Stop();
    return removed;
}

bool CChannelHub::UnregisterOwner(CServerLink* owner) {
    uint32_t clientId = 0;
    {
        CAutoLock lock(m_lock);
        bool found = false;
        for (const auto& entry : m_queues) {
            if (entry.second != nullptr && entry.second->m_pOwner == owner) {
                clientId = entry.first;
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    return Unregister(clientId, owner);
}

bool CChannelHub::Start() {
    if (OnReceiveThread()) {
        // A sink signing on again from a callback: cancel this thread's own stop,
        // unless a client thread is already waiting for it (that thread restarts
        // it once it has ended).
        CAutoLock lock(m_lock);
        if (!m_bClientStop) {
            InterlockedExchange(&m_bStopping, 0);
            InterlockedExchange(&m_bRunning, 1);
        }
        return true;
    }
    CAutoLock serial(m_startStopLock);
    if (InterlockedCompareExchange(&m_bRunning, 0, 0) != 0) return true;
    if (m_thread.Running()) m_thread.WaitForExit();  // a thread that stopped itself
    InterlockedExchange(&m_bStopping, 0);
    if (!m_thread.Begin(0)) return false;
    InterlockedExchange(&m_bRunning, 1);
    return true;
}

void CChannelHub::Stop() {
    if (OnReceiveThread()) {
        // Cannot wait for ourselves: the pass ends and the thread returns.
        CAutoLock lock(m_lock);
        for (const auto& entry : m_queues)
            if (entry.second != nullptr) return;
        InterlockedExchange(&m_bRunning, 0);
        InterlockedExchange(&m_bStopping, 1);
        return;
    }
    CAutoLock serial(m_startStopLock);
    {
        CAutoLock lock(m_lock);
        // A sign-on may have registered a ring since the caller saw the map empty.
        for (const auto& entry : m_queues)
            if (entry.second != nullptr) return;
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
        InterlockedExchange(&m_bStopping, 0);
        for (const auto& entry : m_queues)
            if (entry.second != nullptr) restart = true;
    }
    // A callback signed on while we waited: its ring must not go unread.
    if (restart && m_thread.Begin(0)) InterlockedExchange(&m_bRunning, 1);
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
    for (CInboundQueue* queue : m_detached) delete queue;
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
            CAutoLock lock(m_lock);
            m_bInPass = true;
            // One read per ring per pass, in ascending unsigned clientId order.
            for (auto& entry : m_queues) {
                CInboundQueue* queue = entry.second;
                if (queue == nullptr) continue;
                if (queue->Read(msg)) {
                    got = true;
                    DeliverMessage(msg, queue->m_pOwner);
                }
            }
            if (!got && DWORD(GetTickCount() - last) > 7000) {
                last = GetTickCount();
                for (auto& entry : m_queues)
                    if (entry.second != nullptr && entry.second->m_pOwner != nullptr)
                        entry.second->m_pOwner->SendHeartbeat();
            }
            m_bInPass = false;
            FreeDetached();
        }
        if (!got) Sleep(2);
    }
}

}  // namespace serverlink
