#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <vector>

#include "../common/crit_sec.h"
#include "shm_queue.h"
#include "worker_thread.h"

namespace serverlink {

class CServerLink;

// An incoming ring and the link object it delivers to (not owned).
class CInboundQueue : public CShmQueue {
public:
    CInboundQueue(uint32_t n, int32_t slots, CServerLink* owner) : CShmQueue(n, slots, true), m_pOwner(owner) {}
    CServerLink* m_pOwner;
};

// The process-wide owner of every incoming ring, and its one receive thread.
//
// Threads: client threads call Register, Start, Unregister and Stop (through
// sign-on and sign-off); the receive thread runs Run and holds m_lock for a whole
// pass. Calls made on the receive thread itself (a sink signing off from a
// callback) never wait for it: removals are detached at once and freed at the
// end of the pass, and the thread stops itself when no ring is left.
class CChannelHub {
public:
    static CChannelHub& Instance();

    // Creates ring n (create mode) for clientId. False for a null owner, a
    // clientId already registered (refused before any ring is made), or a ring
    // that cannot be made.
    bool Register(uint32_t clientId, CServerLink* owner, uint32_t n, int32_t slots);
    // Starts the receive thread unless it runs; false if it could not be started.
    bool Start();
    // Removes clientId's ring if `owner` (when given) owns it. Stops the thread
    // when no ring is left.
    bool Unregister(uint32_t clientId, CServerLink* owner = nullptr);
    // Removes whatever ring `owner` holds.
    bool UnregisterOwner(CServerLink* owner);
    void Stop();

    // For tests and diagnostics.
    bool IsRunning();
    size_t RingCount();
    DWORD ReceiveThreadId() const { return m_thread.ThreadId(); }

    ~CChannelHub();

private:
    CChannelHub();
    void Run(uint32_t param);
    bool OnReceiveThread() const;
    // Detaches one entry (m_lock held); returns true if the map is now empty.
    bool RemoveLocked(std::map<uint32_t, CInboundQueue*>::iterator it);
    void FreeDetached();

    CWorkerThread m_thread;
    std::map<uint32_t, CInboundQueue*> m_queues;
    CCritSec m_lock;
    volatile LONG m_bRunning = 0;
    volatile LONG m_bStopping = 0;
    CCritSec m_startStopLock;             // serialises Start and Stop
    std::vector<CInboundQueue*> m_detached;  // removed during a pass, freed after it
    bool m_bInPass = false;                  // receive thread inside a pass (m_lock held)
    bool m_bClientStop = false;              // a client thread waits for the thread to end
};

}  // namespace serverlink
