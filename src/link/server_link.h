#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "../../include/serverlink.h"
#include "../common/crit_sec.h"
#include "../common/module_lock.h"
#include "../shm/ring_owner.h"
#include "receive_side.h"
#include "send_side.h"
#include "server_connection.h"

namespace serverlink {

// What calls on other threads read of the sign-on, taken whole.
struct SignOnIdentity {
    uint32_t clientId;
    uint32_t dword11;
    uint16_t channelId;
    uint8_t mode;
};

// The link object, the one class the module serves: the COM face of its three
// parts (the server connection, the send side, the receive side), with its
// identity, its lifetime, the sign-on and the forwarding methods. Called
// directly (not marshalled) from any client thread; the receive thread reaches
// it through IRingOwner, with the hub's lock held.
class CServerLink final : public IServerLink, public IRingOwner {
public:
    CServerLink() = default;

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

private:
    // IRingOwner (receive thread, hub lock held).
    void OnRecord(const ShmMessage& msg) override;
    bool OnHeartbeatDue() override;

    // Takes this object's hub entry and outgoing ring down, if it holds them.
    void ReleaseRings();
    // The sign-on's steps once a server interface is at hand.
    HRESULT SignOnWith(ILocalServer& server, const void* record);
    SignOnIdentity Identity();
    // The frame of the forwarding methods: the server interface for the calling
    // thread, the call with the signed-on identity, every failure E_FAIL.
    template <class Fn>
    HRESULT Forward(Fn&& call);

    CModuleUse m_moduleUse;  // first: given back after every other member
    std::atomic<LONG> m_cRef{0};
    // Set at the first transition of the count to zero, which alone destroys.
    std::atomic<bool> m_bDying{false};
    // The receive thread's id while it delivers a record to this object, else
    // 0. Written by the receive thread only; another thread reading it stale
    // sees 0 or that thread's id, never its own, which is all Release asks.
    std::atomic<DWORD> m_deliveringThread{0};
    // The last reference went from inside a delivery (receive thread only).
    bool m_bDestroyAfterDelivery = false;
    std::atomic<bool> m_bSigningOn{false};  // a SignOn is in progress on some thread
    CCritSec m_signOnLock;
    SignOnRecord m_signOn{};  // m_signOnLock, so that other threads read it whole
    CServerConnection m_server;
    CSendSide m_send;
    CReceiveSide m_receive{m_send};
};

}  // namespace serverlink
