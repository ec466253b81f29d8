#pragma once
#include <windows.h>
#include <objbase.h>

#include <comdef.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "../../include/serverlink.h"
#include "../common/crit_sec.h"
#include "../common/module_lock.h"
#include "../events/decode.h"
#include "../events/flow_control.h"
#include "../events/subscriber_table.h"
#include "../shm/ring_owner.h"
#include "../shm/shm_message.h"
#include "../shm/shm_queue.h"
#include "server_connection.h"

namespace serverlink {

// What calls on other threads read of the sign-on, taken whole.
struct SignOnIdentity {
    uint32_t clientId;
    uint32_t dword11;
    uint16_t channelId;
    uint8_t mode;
};

// The link object: COM identity, server access, forwarding, sign-on and the
// traffic of its two rings, composed from the platform-free subscriber table,
// flow control and record decoding. Called directly (not marshalled) from any
// client thread; the receive thread reaches it through IRingOwner, with the
// hub's lock held.
class CServerLink final : public IServerLink, public IRingOwner, public IRecordReceiver {
public:
    CServerLink();

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IServerLink
    HRESULT STDMETHODCALLTYPE SignOn(const void* record) override;
    HRESULT STDMETHODCALLTYPE SignOff() override;
    HRESULT STDMETHODCALLTYPE RequestDefault(LONG a, LONG b, LONG c, LONG d) override;
    HRESULT STDMETHODCALLTYPE ClosePeer(ULONG peerId) override;
    HRESULT STDMETHODCALLTYPE SendData(ULONG peerId, const BYTE* data, ULONG length) override;
    HRESULT STDMETHODCALLTYPE QueryA() override;
    HRESULT STDMETHODCALLTYPE AddSubscriber(IEventSink* sink, ULONG key) override;
    HRESULT STDMETHODCALLTYPE RemoveSubscriber(IEventSink* sink, ULONG key) override;
    HRESULT STDMETHODCALLTYPE QueryB() override;
    HRESULT STDMETHODCALLTYPE PostBlock(LONG value, const BYTE* bytes, ULONG count) override;
    HRESULT STDMETHODCALLTYPE Request(LONG a, LONG b, LONG c, LONG d, LONG e) override;
    HRESULT STDMETHODCALLTYPE ModeRequest(LONG value) override;
    HRESULT STDMETHODCALLTYPE PairRequest(LONG a, LONG b) override;
    HRESULT STDMETHODCALLTYPE PostValueList(LONG unused, const LONG* values, ULONG count) override;
    HRESULT STDMETHODCALLTYPE ModePairRequest(LONG unused, LONG a, LONG b) override;
    HRESULT STDMETHODCALLTYPE ModeValueRequestA(LONG unused, LONG value) override;
    HRESULT STDMETHODCALLTYPE ModeValueRequestB(LONG unused, LONG value) override;
    HRESULT STDMETHODCALLTYPE ModeQuery() override;

    virtual ~CServerLink();

    bool Connected() const { return m_server.Connected(); }

    // Empties the subscriber table (sign-off).
    void ClearSubscribers();

    // IRingOwner (receive thread, hub lock held).
    void OnRecord(const ShmMessage& msg) override;
    void OnHeartbeatDue() override;

    // Receive side (receive thread, hub lock held): an event's flow-control
    // effect, then the matching sinks.
    void HandleEvent(uint32_t id, int32_t code, LONG_PTR param, int32_t extra);
    void HandleData(uint32_t id, const BYTE* data, uint32_t length, int32_t extra);
    bool SendHeartbeat();
    bool PostOutgoing(const ShmMessage& msg);
    // A data packet into the outgoing ring, built in place (m_sendLock).
    bool PostData(uint32_t peerId, const BYTE* data, uint32_t length);

    // IRecordReceiver: what DecodeRecord makes of an incoming record.
    void OnEventRecord(uint32_t id, int32_t code, intptr_t param, int32_t extra) override;
    void OnDataRecord(uint32_t id, const uint8_t* data, uint32_t length, int32_t extra) override;

private:
    // Tears down this object's hub entry and outgoing ring, if it holds them.
    void ReleaseRings();
    // The sign-on's steps once a server interface is at hand.
    HRESULT SignOnWith(ILocalServer& server, const void* record);
    SignOnIdentity Identity();
    // The common frame of the forwarding methods: the server interface for the
    // calling thread, the call, every failure mapped to E_FAIL.
    template <class Fn>
    HRESULT Forward(Fn&& call);

    CModuleUse m_moduleUse;  // first: given back after every other member
    volatile LONG m_cRef = 0;
    // Set at the first transition of the count to zero, which alone destroys.
    std::atomic<bool> m_bDying{false};
    // The receive thread's id while it delivers a record to this object, else 0.
    volatile DWORD m_deliveringThread = 0;
    // The last reference went from inside a delivery (receive thread only).
    bool m_bDestroyAfterDelivery = false;
    CServerConnection m_server;
    CTurnLock m_sinkLock;                // m_subscribers; the receive thread gives waiters their turn
    CCritSec m_peerLock;                 // m_flow
    CCritSec m_sendLock;                 // m_pOutQueue, m_outClientId and writes into the ring
    CCritSec m_signOnLock;               // m_signOn, so that other threads read it whole
    SignOnRecord m_signOn;
    CFlowControl m_flow;                 // per-peer pause state
    CSubscriberTable m_subscribers;      // sinks by key; walked by the receive thread
    volatile LONG m_bSigningOn = 0;      // a SignOn is in progress on some thread
    std::unique_ptr<CShmQueue> m_pOutQueue;
    // The clientId of the sign-on that made m_pOutQueue: a packet never carries
    // another one, whatever sign-on runs meanwhile.
    uint32_t m_outClientId = 0;
};

// Hands one incoming record to its owner's handlers (receive thread), without
// OnRecord's guard of the object's lifetime.
void DeliverMessage(const ShmMessage& msg, CServerLink* owner);

}  // namespace serverlink
