#pragma once
#include <windows.h>

namespace serverlink {

// Flow-control state of one peer. `tick` is kept for the local server's
// bookkeeping conventions; nothing in the module reads it.
struct PeerState {
    DWORD tick;
    bool ready;
};

}  // namespace serverlink
