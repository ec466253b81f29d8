#include "send_side.h"

#include <cstring>

namespace serverlink {

HRESULT CSendSide::SendData(uint32_t peerId, const uint8_t* data, uint32_t length) {
    if (length == 0) return S_OK;
    if (length > kMaxPayload || data == nullptr) return E_FAIL;
    CAutoLock peers(m_peerLock);
    if (!m_flow.MaySend(peerId)) return E_FAIL;
    CAutoLock send(m_sendLock);
    // Built straight in the ring's free slot: one copy of the packet, not two.
    // Payload bytes past `length` keep an earlier packet's, as the format allows.
    const bool posted = m_pOutQueue != nullptr && m_pOutQueue->WriteInPlace([&](ShmMessage& slot) {
        slot.type = kMsgData;
        slot.clientId = m_outClientId;
        slot.peerId = peerId;
        slot.length = length;
        std::memcpy(slot.payload, data, length);
        slot.eventCode = 0;
        slot.eventParam = 0;
        slot.extra = 0;
    });
    return posted ? S_OK : E_FAIL;
}

bool CSendSide::SendHeartbeat() {
    ShmMessage heartbeat;  // cleared: a heartbeat carries nothing but its type
    heartbeat.type = kMsgHeartbeat;
    return PostOutgoing(heartbeat);
}

bool CSendSide::PostOutgoing(const ShmMessage& msg) {
    CAutoLock lock(m_sendLock);
    return m_pOutQueue != nullptr && m_pOutQueue->Write(msg);
}

bool CSendSide::OnPeerEvent(uint32_t id, int32_t code, int32_t extra) {
    // Codes that cannot change the table skip the lock.
    if (!CFlowControl::Touches(code, extra)) return true;
    CAutoLock lock(m_peerLock);
    return m_flow.OnEvent(id, code, extra, GetTickCount());
}

void CSendSide::ClosePeer(uint32_t peerId) {
    CAutoLock lock(m_peerLock);
    m_flow.Close(peerId);
}

std::unique_ptr<CShmQueue> CSendSide::SwapRing(std::unique_ptr<CShmQueue> ring, uint32_t clientId) {
    CAutoLock lock(m_sendLock);
    ring.swap(m_pOutQueue);
    m_outClientId = clientId;
    return ring;
}

}  // namespace serverlink
