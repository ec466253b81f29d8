// The link's identity and lifetime, and what the receive thread hands it.
#include "server_link.h"

#include "../shm/channel_hub.h"

namespace serverlink {

CServerLink::~CServerLink() {
    // A client that did not sign off still must not leave the receive thread
    // calling a destroyed object. Waits for a delivery in progress to this
    // object (on another thread) to end. The members then go in reverse:
    // m_server gives its proxies back in their own apartments.
    ReleaseRings();
}

HRESULT CServerLink::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IServerLink)) {
        *ppv = static_cast<IServerLink*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CServerLink::AddRef() { return ULONG(m_cRef.fetch_add(1) + 1); }

ULONG CServerLink::Release() {
    const LONG n = m_cRef.fetch_sub(1) - 1;
    if (n != 0) return ULONG(n);
    // Only the first transition to zero destroys. While a client thread's
    // destruction waits for a delivery to this object, a sink may still take
    // and drop a reference to it (a QueryInterface, a smart pointer's copy):
    // that second zero must do nothing.
    if (m_bDying.exchange(true)) return 0;
    if (m_deliveringThread.load(std::memory_order_relaxed) == GetCurrentThreadId()) {
        // From inside one of our own callbacks: the receive thread is still
        // walking this object. It destroys it when the delivery ends.
        m_bDestroyAfterDelivery = true;
    } else {
        // Any other thread: the destructor takes the ring down first, which
        // waits for a delivery in progress, so that once this returns no sink
        // of this object is called again.
        delete this;
    }
    return 0;
}

void CServerLink::OnRecord(const ShmMessage& msg) {
    // Dying: the last Release came on a client thread, whose destructor waits
    // for this pass to take the ring down. Nothing more is delivered to a
    // client that has let go.
    if (m_bDying.load(std::memory_order_relaxed)) return;
    // The object stays alive while it calls out: a sink that drops the last
    // reference from its own callback leaves the destruction to the end of the
    // delivery, after every lock of it has been left (see Release). Plain
    // stores by this thread alone: no locked operation per record.
    m_deliveringThread.store(GetCurrentThreadId(), std::memory_order_relaxed);
    struct EndDelivery {
        CServerLink* self;
        ~EndDelivery() {
            self->m_deliveringThread.store(0, std::memory_order_relaxed);
            if (self->m_bDestroyAfterDelivery) delete self;
        }
    } end{this};
    m_receive.Deliver(msg);
}

bool CServerLink::OnHeartbeatDue() { return m_send.SendHeartbeat(); }

void CServerLink::ReleaseRings() {
    CChannelHub::Instance().UnregisterOwner(this);
    // Unmapped here, outside the send side's locks.
    m_send.SwapRing(nullptr, 0);
}

SignOnIdentity CServerLink::Identity() {
    CAutoLock lock(m_signOnLock);
    return SignOnIdentity{m_signOn.clientId, m_signOn.dword11, m_signOn.channelId, m_signOn.mode};
}

}  // namespace serverlink
