// What a link object does with the traffic of its two rings: incoming records
// become sink calls (receive thread), outgoing packets and heartbeats are
// written into the outgoing ring (any thread).
#include <cstring>

#include "../link/server_link.h"
#include "descramble.h"

namespace serverlink {

namespace {

constexpr int32_t kCodePause = int32_t(0xFFFF0000);
constexpr int32_t kCodeResume = int32_t(0xFFFF0001);
constexpr int32_t kExtraPeerReady = 0x00080000;

// A record's length comes from another process; a sink never gets more than
// the payload that exists.
uint32_t PayloadLength(const ShmMessage& msg) { return msg.length > kMaxPayload ? kMaxPayload : msg.length; }

}  // namespace

void DeliverMessage(const ShmMessage& msg, CServerLink* owner) {
    if (owner == nullptr) return;
    switch (msg.type) {
        case kMsgEvent:
            owner->HandleEvent(msg.peerId, msg.eventCode, msg.eventParam, msg.extra);
            break;
        case kMsgPeerData:
            owner->HandleData(msg.peerId, msg.payload, PayloadLength(msg), msg.extra);
            break;
        case kMsgNoticeA:
            owner->HandleEvent(msg.clientId, 8, reinterpret_cast<LONG_PTR>(msg.payload),
                               static_cast<int32_t>(PayloadLength(msg)));
            break;
        case kMsgNoticeB:
            owner->HandleEvent(msg.clientId, 9, reinterpret_cast<LONG_PTR>(msg.payload),
                               static_cast<int32_t>(PayloadLength(msg)));
            break;
        default:
            break;
    }
}

void CServerLink::OnRecord(const ShmMessage& msg) {
    // The object keeps itself alive while it calls out: a sink may sign off and
    // drop the last reference from its own callback. The reference is given back
    // after every lock of the delivery has been left. A count already at zero
    // means the destructor is waiting for this pass to take the ring down: the
    // record is dropped.
    if (!TryAddRef()) return;
    struct ReleaseOnExit {
        CServerLink* self;
        ~ReleaseOnExit() { self->Release(); }
    } hold{this};
    DeliverMessage(msg, this);
}

void CServerLink::OnHeartbeatDue() { SendHeartbeat(); }

template <class Fn>
void CServerLink::Dispatch(uint32_t id, Fn&& call) {
    CAutoLock lock(m_sinkLock);
    m_bDispatching = true;
    // Every way out of the walk, a sink's exception included, ends the dispatch
    // and replays the changes queued meanwhile.
    struct EndDispatch {
        CServerLink* self;
        ~EndDispatch() {
            self->m_bDispatching = false;
            self->ApplyPendingChanges();
        }
    } end{this};
    // m_nSinks is read afresh each step: a sink may sign off from its callback.
    for (uint32_t i = 0; i < m_nSinks; ++i) {
        const SinkEntry entry = m_sinks[i];
        if (entry.key > id) break;
        if ((entry.key == 0 || entry.key == id) && entry.sink != nullptr) call(entry.sink);
    }
}

void CServerLink::HandleEvent(uint32_t id, int32_t code, LONG_PTR param, int32_t extra) {
    if (code == 10 || code == 11) return;
    if (code == 5) param = static_cast<LONG_PTR>(descramble(static_cast<uint32_t>(param)));

    if (code == kCodePause || code == kCodeResume) {
        CAutoLock lock(m_peerLock);
        auto it = m_peers.find(id);
        if (it == m_peers.end()) it = m_peers.emplace(id, PeerState{GetTickCount() - 101, true}).first;
        if (code == kCodePause) {
            it->second.tick = GetTickCount();
            it->second.ready = false;
        } else {
            it->second.ready = true;
        }
        return;
    }

    {
        CAutoLock lock(m_peerLock);
        if (code == 3 || code == 4) {
            m_peers.erase(id);
        } else if (code == 5 && (extra & kExtraPeerReady) != 0) {
            m_peers.emplace(id, PeerState{GetTickCount() - 101, true});  // never replaces an entry
        }
    }
    // m_peerLock is released before the sinks run, so they may call SendData.
    Dispatch(id, [&](IEventSink* sink) { sink->OnEvent(id, code, param, extra); });
}

void CServerLink::HandleData(uint32_t id, const BYTE* data, uint32_t length, int32_t extra) {
    Dispatch(id, [&](IEventSink* sink) { sink->OnData(id, data, length, extra); });
}

HRESULT CServerLink::SendData(ULONG peerId, const BYTE* data, ULONG length) {
    if (length == 0) return S_OK;
    if (length > kMaxPayload || data == nullptr) return E_FAIL;
    CAutoLock lock(m_peerLock);
    auto it = m_peers.find(peerId);
    if (it != m_peers.end() && !it->second.ready) return E_FAIL;
    m_outMsg.clientId = m_signOn.clientId;
    m_outMsg.peerId = peerId;
    m_outMsg.length = length;
    m_outMsg.type = kMsgData;
    std::memcpy(m_outMsg.payload, data, length);
    return PostOutgoing(m_outMsg) ? S_OK : E_FAIL;
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
