#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>

#include "../common/crit_sec.h"
#include "../events/flow_control.h"
#include "../shm/shm_queue.h"

namespace serverlink {

// A link's send side: the outgoing ring, the per-peer flow control that gates
// it, data packets and heartbeats. Client threads send (the receive thread too,
// from a sink); the receive thread posts heartbeats and applies the server's
// flow-control events; sign-on and sign-off swap the ring.
//
// Locks, taken in this order: m_peerLock (the peer table, and a data packet
// from its gate to its post, so that a pause falls between two packets), then
// m_sendLock (the ring, its clientId and every write into the ring).
class CSendSide {
public:
    CSendSide() = default;
    CSendSide(const CSendSide&) = delete;
    CSendSide& operator=(const CSendSide&) = delete;

    // A data packet of up to 1280 bytes for a peer: S_OK (nothing to do for an
    // empty one), or E_FAIL for a paused peer, no ring, a full ring, a null or
    // too long packet.
    HRESULT SendData(uint32_t peerId, const uint8_t* data, uint32_t length);
    // A heartbeat into the outgoing ring; false if it did not go.
    bool SendHeartbeat();
    // An incoming event's effect on the peer table; false for the events that
    // are not delivered to sinks (pause, resume).
    bool OnPeerEvent(uint32_t id, int32_t code, int32_t extra);
    // The client closed the peer: it is forgotten.
    void ClosePeer(uint32_t peerId);
    // Puts in a new outgoing ring (or none) with the clientId its packets carry,
    // and returns the one it had: the caller unmaps it, outside every lock.
    std::unique_ptr<CShmQueue> SwapRing(std::unique_ptr<CShmQueue> ring, uint32_t clientId);

private:
    bool PostOutgoing(const ShmMessage& msg);

    CCritSec m_peerLock;
    CFlowControl m_flow;  // m_peerLock
    CCritSec m_sendLock;
    std::unique_ptr<CShmQueue> m_pOutQueue;  // m_sendLock
    // The clientId of the sign-on that made m_pOutQueue: a packet never carries
    // another one, whatever sign-on runs meanwhile (m_sendLock).
    uint32_t m_outClientId = 0;
};

}  // namespace serverlink
