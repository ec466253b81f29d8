#include "server_link.h"

#include <cstring>

#include "../common/module_lock.h"
#include "../shm/channel_hub.h"

namespace serverlink {

CServerLink::CServerLink() {
    std::memset(&m_signOn, 0, sizeof(m_signOn));
}

CServerLink::~CServerLink() {
    // A client that did not sign off still must not leave the receive thread
    // calling a destroyed object. Waits for a delivery in progress to this
    // object (on another thread) to end.
    ReleaseRings();
    // m_server then gives its proxies back in their own apartments.
}

void CServerLink::ReleaseRings() {
    CChannelHub::Instance().UnregisterOwner(this);
    std::unique_ptr<CShmQueue> old;
    {
        CAutoLock lock(m_sendLock);
        old.swap(m_pOutQueue);
    }
    // Unmapped outside the lock.
}

SignOnIdentity CServerLink::Identity() {
    CAutoLock lock(m_signOnLock);
    return SignOnIdentity{m_signOn.clientId, m_signOn.dword11, m_signOn.channelId, m_signOn.mode};
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

ULONG CServerLink::AddRef() { return InterlockedIncrement(&m_cRef); }

ULONG CServerLink::Release() {
    const LONG n = InterlockedDecrement(&m_cRef);
    if (n != 0) return n;
    // Only the first transition to zero destroys. While a client thread's
    // destruction waits for a delivery to this object, a sink may still take
    // and drop a reference to it (a QueryInterface, a smart pointer's copy):
    // that second zero must do nothing.
    if (m_bDying.exchange(true)) return 0;
    if (m_deliveringThread == GetCurrentThreadId()) {
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

}  // namespace serverlink
