#pragma once
#include "shm_message.h"

namespace serverlink {

// What the hub needs from the owner of an incoming ring. Both calls come on the
// receive thread with the hub's lock held.
class IRingOwner {
public:
    // One record read from the owner's ring. The record is the receive thread's
    // own copy and stays valid only for the call.
    virtual void OnRecord(const ShmMessage& msg) = 0;
    // Nothing was read for a while: post a heartbeat into the outgoing ring.
    // False if it did not go (the hub does not retry).
    virtual bool OnHeartbeatDue() = 0;

protected:
    ~IRingOwner() = default;
};

}  // namespace serverlink
