// What a link object does with the traffic of its two rings, and its
// subscriptions: incoming records become sink calls (receive thread), outgoing
// packets and heartbeats go into the outgoing ring (any thread).
#include <cstring>

#include "../events/descramble.h"
#include "server_link.h"

namespace serverlink {

void DeliverMessage(const ShmMessage& msg, CServerLink* owner) {
    if (owner != nullptr) DecodeRecord(msg, *owner);
}

void CServerLink::OnRecord(const ShmMessage& msg) {
    // Dying: the last Release came on a client thread, whose destructor waits
    // for this pass to take the ring down. Nothing more is delivered to a
    // client that has let go.
    if (m_bDying.load(std::memory_order_relaxed)) return;
    // The object stays alive while it calls out: a sink that drops the last
    // reference from its own callback leaves the destruction to the end of the
    // delivery, after every lock of it has been left (see Release). Only this
    // thread writes the mark; another thread reading it stale sees 0 or this
    // thread's id, never its own, which is all Release asks.
    m_deliveringThread = GetCurrentThreadId();
    struct EndDelivery {
        CServerLink* self;
        ~EndDelivery() {
            self->m_deliveringThread = 0;
            if (self->m_bDestroyAfterDelivery) delete self;
        }
    } end{this};
    DecodeRecord(msg, *this);
}

void CServerLink::OnHeartbeatDue() { SendHeartbeat(); }

void CServerLink::OnEventRecord(uint32_t id, int32_t code, intptr_t param, int32_t extra) {
    HandleEvent(id, code, param, extra);
}

void CServerLink::OnDataRecord(uint32_t id, const uint8_t* data, uint32_t length, int32_t extra) {
    HandleData(id, data, length, extra);
}

void CServerLink::HandleEvent(uint32_t id, int32_t code, LONG_PTR param, int32_t extra) {
    if (code == SERVERLINK_EVENT_INTERNAL_A || code == SERVERLINK_EVENT_INTERNAL_B) return;
    if (code == SERVERLINK_EVENT_SCRAMBLED) param = static_cast<LONG_PTR>(descramble(static_cast<uint32_t>(param)));
    bool deliver = true;
    if (CFlowControl::Touches(code, extra)) {
        CAutoLock lock(m_peerLock);
        deliver = m_flow.OnEvent(id, code, extra, GetTickCount());
    }
    // m_peerLock is released before the sinks run, so they may call SendData.
    if (!deliver) return;
    {
        CAutoLock lock(m_sinkLock.Loop());
        m_subscribers.Walk(id, [&](IEventSink* sink) { sink->OnEvent(id, code, param, extra); });
    }
    // The next record may follow at once: a client thread waiting to change the
    // table gets it first.
    m_sinkLock.GiveWay();
}

void CServerLink::HandleData(uint32_t id, const BYTE* data, uint32_t length, int32_t extra) {
    {
        CAutoLock lock(m_sinkLock.Loop());
        m_subscribers.Walk(id, [&](IEventSink* sink) { sink->OnData(id, data, length, extra); });
    }
    m_sinkLock.GiveWay();
}

HRESULT CServerLink::AddSubscriber(IEventSink* sink, ULONG key) {
    if (!Connected()) return E_FAIL;
    CAutoLock lock(m_sinkLock);
    return m_subscribers.Add(sink, key) ? S_OK : E_FAIL;
}

HRESULT CServerLink::RemoveSubscriber(IEventSink* sink, ULONG key) {
    if (!Connected()) return E_FAIL;
    CAutoLock lock(m_sinkLock);
    return m_subscribers.Remove(sink, key) ? S_OK : E_FAIL;
}

void CServerLink::ClearSubscribers() {
    CAutoLock lock(m_sinkLock);
    m_subscribers.Clear();
}

HRESULT CServerLink::SendData(ULONG peerId, const BYTE* data, ULONG length) {
    if (length == 0) return S_OK;
    if (length > kMaxPayload || data == nullptr) return E_FAIL;
    // Held from the gate to the end of the post: a pause takes effect between
    // two packets, never in the middle of one.
    CAutoLock lock(m_peerLock);
    if (!m_flow.MaySend(peerId)) return E_FAIL;
    return PostData(peerId, data, length) ? S_OK : E_FAIL;
}

bool CServerLink::PostData(uint32_t peerId, const BYTE* data, uint32_t length) {
    CAutoLock lock(m_sendLock);
    const uint32_t clientId = m_outClientId;
    // Built straight in the ring's free slot: one copy of the packet, not two.
    // Payload bytes past `length` keep an earlier packet's, as the format allows.
    return m_pOutQueue != nullptr && m_pOutQueue->WriteInPlace([&](ShmMessage& slot) {
        slot.type = kMsgData;
        slot.clientId = clientId;
        slot.peerId = peerId;
        slot.length = length;
        std::memcpy(slot.payload, data, length);
        slot.eventCode = 0;
        slot.eventParam = 0;
        slot.extra = 0;
    });
}

bool CServerLink::PostOutgoing(const ShmMessage& msg) {
    CAutoLock lock(m_sendLock);
    return m_pOutQueue != nullptr && m_pOutQueue->Write(msg);
}

bool CServerLink::SendHeartbeat() {
    ShmMessage heartbeat;
    heartbeat.type = kMsgHeartbeat;
    return PostOutgoing(heartbeat);
}

}  // namespace serverlink
