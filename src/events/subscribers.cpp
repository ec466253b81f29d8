// The subscriber table of a link object: at most 100 (sink, key) pairs, sorted
// by unsigned key with the newest first among equal keys. Changes requested
// while a dispatch walks the table are queued and replayed when it ends.
#include "../link/server_link.h"

namespace serverlink {

HRESULT CServerLink::AddSubscriber(IEventSink* sink, ULONG key) {
    if (!m_bConnected) return E_FAIL;
    CAutoLock lock(m_sinkLock);
    if (m_bDispatching) {
        if (sink == nullptr || m_nSinks + m_pendingAdds.size() >= kMaxSinks) return E_FAIL;
        try {
            m_pendingAdds.push_back(SinkEntry{sink, key});
        } catch (...) {
            return E_FAIL;  // the queue could not grow
        }
        return S_OK;
    }
    if (sink == nullptr || m_nSinks >= kMaxSinks) return E_FAIL;
    uint32_t p = 0;
    while (p < m_nSinks && m_sinks[p].key < key) ++p;
    for (uint32_t i = m_nSinks; i > p; --i) m_sinks[i] = m_sinks[i - 1];
    m_sinks[p] = SinkEntry{sink, key};
    ++m_nSinks;
    return S_OK;
}

HRESULT CServerLink::RemoveSubscriber(IEventSink* sink, ULONG key) {
    if (!m_bConnected) return E_FAIL;
    CAutoLock lock(m_sinkLock);
    if (m_bDispatching) {
        try {
            m_pendingRemoves.push_back(SinkEntry{sink, key});
        } catch (...) {
            return E_FAIL;
        }
        return S_OK;
    }
    for (uint32_t i = 0; i < m_nSinks; ++i) {
        if (m_sinks[i].sink == sink && m_sinks[i].key == key) {
            for (uint32_t j = i; j + 1 < m_nSinks; ++j) m_sinks[j] = m_sinks[j + 1];
            --m_nSinks;
            m_sinks[m_nSinks] = SinkEntry{nullptr, 0};
            return S_OK;
        }
    }
    return E_FAIL;
}

void CServerLink::ClearSubscribers() {
    CAutoLock lock(m_sinkLock);
    for (auto& entry : m_sinks) entry = SinkEntry{nullptr, 0};
    m_nSinks = 0;
}

void CServerLink::ApplyPendingChanges() {
    // Adds first, then removes, each through the public operation so that every
    // check runs again. Emptying keeps the queues' capacity.
    for (size_t i = 0; i < m_pendingAdds.size(); ++i) AddSubscriber(m_pendingAdds[i].sink, m_pendingAdds[i].key);
    m_pendingAdds.clear();
    for (size_t i = 0; i < m_pendingRemoves.size(); ++i)
        RemoveSubscriber(m_pendingRemoves[i].sink, m_pendingRemoves[i].key);
    m_pendingRemoves.clear();
}

}  // namespace serverlink
