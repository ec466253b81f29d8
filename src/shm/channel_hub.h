#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "../common/crit_sec.h"
#include "ring_owner.h"
#include "shm_queue.h"
#include "worker_thread.h"

namespace serverlink {

// An incoming ring and the object it delivers to (not owned).
class CInboundQueue : public CShmQueue {
public:
    CInboundQueue(uint32_t n, int32_t slots, IRingOwner* owner) : CShmQueue(n, slots, true), m_pOwner(owner) {}
    IRingOwner* m_pOwner;
};

// The process-wide owner of every incoming ring, and its one receive thread.
//
// Threads: client threads call Register, Start, Unregister and Stop (through
// sign-on and sign-off); the receive thread runs Run and holds m_lock for a whole
// pass. Calls made on the receive thread itself (a sink signing off from a
// callback) never wait for it: removals are detached at once and freed at the
// end of the pass, and the thread stops itself when no ring is left.
//
// The hub is made on first use and is never destroyed by static destruction: at
// process exit the other threads are gone, possibly half way through changing
// the map or holding the heap lock, so its state is left alone. The module tears
// it down with Shutdown only when it is unloaded by FreeLibrary.
class CChannelHub {
public:
    static CChannelHub& Instance();
    // Stops the receive thread and closes every ring; the hub is gone afterwards.
    // Only for an unload while the process goes on (never at process exit).
    static void Shutdown();

    // Creates ring n (create mode) for clientId. False for a null owner, a
    // clientId already registered (refused before any ring is made), or a ring
    // that cannot be made.
    bool Register(uint32_t clientId, IRingOwner* owner, uint32_t n, int32_t slots);
    // Starts the receive thread unless it runs; false if it could not be started.
    bool Start();
    // Removes clientId's ring if `owner` (when given) owns it. Stops the thread
    // when no ring is left.
    bool Unregister(uint32_t clientId, IRingOwner* owner = nullptr);
    // Removes every ring `owner` holds.
    bool UnregisterOwner(IRingOwner* owner);
    void Stop();

    // For tests and diagnostics.
    bool IsRunning() const { return m_state.load(std::memory_order_acquire) == State::Running; }
    size_t RingCount();
    // Client threads waiting for the hub's lock now.
    uint32_t ClientsWaiting() const { return m_lock.Waiting(); }
    DWORD ReceiveThreadId() const { return m_thread.ThreadId(); }

private:
    // A null entry is one detached during the current pass (see RemoveLocked).
    using QueueMap = std::map<uint32_t, std::unique_ptr<CInboundQueue>>;

    // The receive thread's state. Changed under m_lock; Run reads it between
    // passes without the lock.
    enum class State : uint8_t {
        Stopped,   // no thread
        Running,   // the thread polls
        Stopping,  // it ends after this pass, as it asked itself; a callback signing on again may cancel that
        Joining,   // a client thread waits for its end; nothing cancels that
    };

    CChannelHub();
    ~CChannelHub();
    void Run();
    bool OnReceiveThread() const;
    // Removes one entry (m_lock held): at once, or detached until the end of the
    // pass when the receive thread itself asks. Returns the next entry.
    QueueMap::iterator RemoveLocked(QueueMap::iterator it);
    bool AnyLiveLocked() const;
    // A client thread (m_startStopLock held) waits for a thread that is
    // stopping or asked to stop to end.
    void JoinThread();
    // Start and Stop only, m_startStopLock held and no thread running.
    bool BeginThread();
    void FreeDetached();

    CWorkerThread m_thread;
    QueueMap m_queues;
    // Guards m_queues and m_detached; the receive thread holds it for a whole
    // pass and gives waiting client threads their turn between passes.
    CTurnLock m_lock;
    std::atomic<State> m_state{State::Stopped};
    CCritSec m_startStopLock;  // serialises Start and Stop on client threads
    std::vector<std::unique_ptr<CInboundQueue>> m_detached;  // removed during a pass, freed after it
};

}  // namespace serverlink
