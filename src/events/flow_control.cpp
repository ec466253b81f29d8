#include "flow_control.h"

#include "../../include/serverlink_codes.h"

namespace serverlink {

namespace {

// A new entry looks as if the peer had been heard of a little while ago.
constexpr uint32_t kNewEntryAge = 101;

}  // namespace

bool CFlowControl::OnEvent(uint32_t id, int32_t code, int32_t extra, uint32_t now) {
    switch (code) {
        case SERVERLINK_EVENT_PAUSE: {
            PeerState& state = m_peers.try_emplace(id, PeerState{now - kNewEntryAge, true}).first->second;
            state.tick = now;
            state.ready = false;
            return false;
        }
        case SERVERLINK_EVENT_RESUME:
            m_peers.try_emplace(id, PeerState{now - kNewEntryAge, true}).first->second.ready = true;
            return false;
        case SERVERLINK_EVENT_PEER_GONE_A:
        case SERVERLINK_EVENT_PEER_GONE_B:
            m_peers.erase(id);
            return true;
        case SERVERLINK_EVENT_SCRAMBLED:
            // Never replaces an entry: a paused peer stays paused.
            if ((static_cast<uint32_t>(extra) & SERVERLINK_EXTRA_PEER_READY) != 0)
                m_peers.try_emplace(id, PeerState{now - kNewEntryAge, true});
            return true;
        default:
            return true;
    }
}

bool CFlowControl::Touches(int32_t code, int32_t extra) {
    switch (code) {
        case SERVERLINK_EVENT_PAUSE:
        case SERVERLINK_EVENT_RESUME:
        case SERVERLINK_EVENT_PEER_GONE_A:
        case SERVERLINK_EVENT_PEER_GONE_B:
            return true;
        case SERVERLINK_EVENT_SCRAMBLED:
            return (static_cast<uint32_t>(extra) & SERVERLINK_EXTRA_PEER_READY) != 0;
        default:
            return false;
    }
}

bool CFlowControl::MaySend(uint32_t peer) const {
    const auto it = m_peers.find(peer);
    return it == m_peers.end() || it->second.ready;
}

void CFlowControl::Close(uint32_t peer) { m_peers.erase(peer); }

const PeerState* CFlowControl::Find(uint32_t peer) const {
    const auto it = m_peers.find(peer);
    return it == m_peers.end() ? nullptr : &it->second;
}

}  // namespace serverlink
