#pragma once
#include <cstdint>
#include <map>

namespace serverlink {

// Flow-control state of one peer. `tick` (milliseconds of the tick counter) is
// kept for the local server's bookkeeping conventions; nothing here reads it.
struct PeerState {
    uint32_t tick;
    bool ready;
};

// The per-peer flow-control table of one link object: which peers the local
// server has paused, and which it has made known. A peer without an entry
// counts as ready.
//
// No lock of its own: the link holds its peer lock around every call. Inserting
// may throw std::bad_alloc.
class CFlowControl {
public:
    // Applies an incoming event's effect for peer id, at tick count `now`:
    //   3, 4                      forget the peer;
    //   5 with the peer-ready bit  make the peer known and ready, only if it has no entry;
    //   pause                     entry (created if missing) not ready, tick = now;
    //   resume                    entry (created ready if missing) ready, tick untouched.
    // False for pause and resume, which are not delivered to sinks; true otherwise.
    bool OnEvent(uint32_t id, int32_t code, int32_t extra, uint32_t now);
    // Whether OnEvent may change anything for this code and extra: the caller
    // takes its lock only then, and answers "deliver" for everything else.
    static bool Touches(int32_t code, int32_t extra);

    // SendData's gate: true unless the peer has an entry that is not ready.
    bool MaySend(uint32_t peer) const;
    // The client closed the peer: forget it.
    void Close(uint32_t peer);
    const PeerState* Find(uint32_t peer) const;

private:
    std::map<uint32_t, PeerState> m_peers;
};

}  // namespace serverlink
