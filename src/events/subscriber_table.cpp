#include "subscriber_table.h"

#include <cstddef>
#include <new>

namespace serverlink {

bool CSubscriberTable::Add(IEventSink* sink, uint32_t key) {
    if (sink == nullptr) return false;
    if (m_bDispatching) {
        if (m_nSinks + m_pendingAdds.size() >= kMaxSinks) return false;
        try {
            m_pendingAdds.push_back(SinkEntry{sink, key});
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    if (m_nSinks >= kMaxSinks) return false;
    // Before the first entry whose key is not below: newest first among equals.
    uint32_t p = 0;
    while (p < m_nSinks && m_sinks[p].key < key) ++p;
    for (uint32_t i = m_nSinks; i > p; --i) m_sinks[i] = m_sinks[i - 1];
    m_sinks[p] = SinkEntry{sink, key};
    ++m_nSinks;
    return true;
}

bool CSubscriberTable::Remove(IEventSink* sink, uint32_t key) {
    if (m_bDispatching) {
        try {
            m_pendingRemoves.push_back(SinkEntry{sink, key});
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    for (uint32_t i = 0; i < m_nSinks; ++i) {
        if (m_sinks[i].sink == sink && m_sinks[i].key == key) {
            for (uint32_t j = i; j + 1 < m_nSinks; ++j) m_sinks[j] = m_sinks[j + 1];
            --m_nSinks;
            m_sinks[m_nSinks] = SinkEntry{nullptr, 0};
            return true;
        }
    }
    return false;
}

void CSubscriberTable::Clear() {
    for (auto& entry : m_sinks) entry = SinkEntry{nullptr, 0};
    m_nSinks = 0;
}

void CSubscriberTable::EndWalk() noexcept {
    m_bDispatching = false;
    // Through Add and Remove, so every check runs again; the results go to
    // nobody. Emptying keeps the queues' capacity.
    for (size_t i = 0; i < m_pendingAdds.size(); ++i) Add(m_pendingAdds[i].sink, m_pendingAdds[i].key);
    m_pendingAdds.clear();
    for (size_t i = 0; i < m_pendingRemoves.size(); ++i) Remove(m_pendingRemoves[i].sink, m_pendingRemoves[i].key);
    m_pendingRemoves.clear();
}

}  // namespace serverlink
