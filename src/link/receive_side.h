#pragma once
#include <windows.h>

#include <cstdint>

#include "../../include/serverlink.h"
#include "../common/crit_sec.h"
#include "../events/decode.h"
#include "../events/subscriber_table.h"
#include "../shm/shm_message.h"
#include "send_side.h"

namespace serverlink {

// A link's receive side: its subscriber table and the calls into its sinks. The
// receive thread hands it each record read from the link's incoming ring; client
// threads (and sinks, from their callbacks) change the table.
//
// m_sinkLock guards the table and is held while sinks are called, so a sink's
// own changes arrive re-entrantly and are queued until the walk ends. The
// receive thread takes it delivery after delivery and gives a waiting client
// thread its turn in between.
class CReceiveSide final : private IRecordReceiver {
public:
    // `send`: the link's send side, whose peer table the server's events change.
    explicit CReceiveSide(CSendSide& send) : m_send(send) {}
    CReceiveSide(const CReceiveSide&) = delete;
    CReceiveSide& operator=(const CReceiveSide&) = delete;

    // Receive thread: one record read from the incoming ring, with its
    // flow-control effect, to the sinks that hear its id. Throws what a sink
    // throws (after the walk has ended properly) and std::bad_alloc.
    void Deliver(const ShmMessage& msg) { DecodeRecord(msg, *this); }

    // S_OK or E_FAIL, as the subscriber table answers.
    HRESULT AddSubscriber(IEventSink* sink, uint32_t key);
    HRESULT RemoveSubscriber(IEventSink* sink, uint32_t key);
    // Empties the table (sign-off), also in the middle of a walk.
    void ClearSubscribers();

private:
    void HandleEvent(uint32_t id, int32_t code, intptr_t param, int32_t extra) override;
    void HandleData(uint32_t id, const uint8_t* data, uint32_t length, int32_t extra) override;

    CSendSide& m_send;
    CTurnLock m_sinkLock;
    CSubscriberTable m_subscribers;  // m_sinkLock
};

}  // namespace serverlink
