#include "receive_side.h"

#include "../events/descramble.h"

namespace serverlink {

void CReceiveSide::HandleEvent(uint32_t id, int32_t code, intptr_t param, int32_t extra) {
    if (code == SERVERLINK_EVENT_INTERNAL_A || code == SERVERLINK_EVENT_INTERNAL_B) return;
    if (code == SERVERLINK_EVENT_SCRAMBLED) param = static_cast<intptr_t>(descramble(static_cast<uint32_t>(param)));
    // The peer lock is left before the sinks run, so they may send.
    if (!m_send.OnPeerEvent(id, code, extra)) return;
    {
        CAutoLock lock(m_sinkLock.Loop());
        m_subscribers.Walk(id, [&](IEventSink* sink) { sink->OnEvent(id, code, param, extra); });
    }
    // The next record may follow at once: a client thread waiting to change the
    // table gets it first.
    m_sinkLock.GiveWay();
}

void CReceiveSide::HandleData(uint32_t id, const uint8_t* data, uint32_t length, int32_t extra) {
    {
        CAutoLock lock(m_sinkLock.Loop());
        m_subscribers.Walk(id, [&](IEventSink* sink) { sink->OnData(id, data, length, extra); });
    }
    m_sinkLock.GiveWay();
}

HRESULT CReceiveSide::AddSubscriber(IEventSink* sink, uint32_t key) {
    CAutoLock lock(m_sinkLock);
    return m_subscribers.Add(sink, key) ? S_OK : E_FAIL;
}

HRESULT CReceiveSide::RemoveSubscriber(IEventSink* sink, uint32_t key) {
    CAutoLock lock(m_sinkLock);
    return m_subscribers.Remove(sink, key) ? S_OK : E_FAIL;
}

void CReceiveSide::ClearSubscribers() {
    CAutoLock lock(m_sinkLock);
    m_subscribers.Clear();
}

}  // namespace serverlink
