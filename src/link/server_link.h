#pragma once
#include <windows.h>
#include <objbase.h>

#include <comdef.h>

#include <cstdint>
#include <memory>

#include "../../include/serverlink.h"
#include "../common/crit_sec.h"
#include "../events/decode.h"
#include "../events/flow_control.h"
#include "../events/subscriber_table.h"
#include "../shm/ring_owner.h"
#include "../shm/shm_message.h"
#include "../shm/shm_queue.h"
#include "localserver.h"

namespace serverlink {

// Scoped COM entry for one call on a thread other than the object's owner.
// CoUninitialize runs only after a CoInitialize that succeeded, so a thread that
// is already in the multithreaded apartment is never taken out of COM.
class CComInitGuard {
public:
    explicit CComInitGuard(DWORD ownerThreadId);
    ~CComInitGuard();
    CComInitGuard(const CComInitGuard&) = delete;
    CComInitGuard& operator=(const CComInitGuard&) = delete;

private:
    bool m_bInitialized = false;
};

class CServerLink;

// The server interface for one call on the calling thread: borrowed on the owner
// thread, a reference of its own elsewhere. Gives back exactly what it took.
class CServerRef {
public:
    explicit CServerRef(CServerLink& link);
    ~CServerRef();
    CServerRef(const CServerRef&) = delete;
    CServerRef& operator=(const CServerRef&) = delete;
    ILocalServer* get() const { return m_p; }
    ILocalServer* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    CServerLink& m_link;
    ILocalServer* m_p;
    bool m_bOwned;
};

_COM_SMARTPTR_TYPEDEF(ILocalServer, __uuidof(ILocalServer));

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

    // Server access for one call (see CServerRef).
    ILocalServer* AcquireServer(bool* owned);
    void ReleaseServer(ILocalServer* p, bool owned);
    bool Connected() const { return m_bConnected; }

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

    // The object's copy of the sign-on record.
    const SignOnRecord& SignOnCopy() const { return m_signOn; }

    // IRecordReceiver: what DecodeRecord makes of an incoming record.
    void OnEventRecord(uint32_t id, int32_t code, intptr_t param, int32_t extra) override;
    void OnDataRecord(uint32_t id, const uint8_t* data, uint32_t length, int32_t extra) override;

private:
    // Makes the server object, its interface for the owner thread and the two
    // marshal packets. Leaves the object unconnected when any step fails.
    void ConnectServer();
    // Tears down this object's hub entry and outgoing ring, if it holds them.
    void ReleaseRings();
    // The common frame of the forwarding methods: guard, server pointer, call,
    // every exception mapped to E_FAIL.
    template <class Fn>
    HRESULT Forward(Fn&& call);

    volatile LONG m_cRef = 0;
    // The receive thread's id while it delivers a record to this object, else 0.
    volatile DWORD m_deliveringThread = 0;
    // The last reference went from inside a delivery (receive thread only).
    bool m_bDestroyAfterDelivery = false;
    ILocalServerPtr m_spServer;          // owner thread's interface; used on that thread only
    CCritSec m_sinkLock;                 // m_subscribers
    CCritSec m_peerLock;                 // m_flow
    CCritSec m_sendLock;                 // m_pOutQueue and writes into it
    SignOnRecord m_signOn;
    bool m_bConnected = false;
    CCritSec m_streamLock;               // guards m_pStream
    // The server interface marshalled table-weak: every call from another thread
    // unmarshals a proxy of its own from a clone, and nothing is ever used up.
    IStream* m_pStream = nullptr;
    // A normal marshal packet, never unmarshalled before destruction: references
    // that keep the server object alive, tied to no apartment, so any thread may
    // give them back, and other threads keep working after the owner's
    // apartment has ended.
    IStream* m_pKeepAlive = nullptr;
    DWORD m_ownerThreadId = 0;
    // Held open so that the owner's thread id cannot be reused by another thread
    // while this object lives.
    HANDLE m_hOwnerThread = nullptr;
    CFlowControl m_flow;                 // per-peer pause state
    CSubscriberTable m_subscribers;      // sinks by key; walked by the receive thread
    volatile LONG m_bSigningOn = 0;      // a SignOn is in progress on some thread
    std::unique_ptr<CShmQueue> m_pOutQueue;
};

// Hands one incoming record to its owner's handlers (receive thread), without
// the self-reference OnRecord takes.
void DeliverMessage(const ShmMessage& msg, CServerLink* owner);

}  // namespace serverlink
