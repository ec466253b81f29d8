#include "server_link.h"

#include <cstring>

#include "../common/module_lock.h"
#include "../shm/channel_hub.h"
#include "owner_release.h"

namespace serverlink {

CComInitGuard::CComInitGuard(DWORD ownerThreadId) {
    if (GetCurrentThreadId() != ownerThreadId) {
        const HRESULT hr = CoInitialize(nullptr);
        m_bInitialized = (hr == S_OK || hr == S_FALSE);
    }
}

CComInitGuard::~CComInitGuard() {
    if (m_bInitialized) CoUninitialize();
}

CServerRef::CServerRef(CServerLink& link) : m_link(link), m_p(nullptr), m_bOwned(false) {
    m_p = m_link.AcquireServer(&m_bOwned);
}

CServerRef::~CServerRef() {
    if (m_p != nullptr) m_link.ReleaseServer(m_p, m_bOwned);
}

CServerLink::CServerLink() {
    ModuleAddRef();
    ReleaseHandedBack();
    std::memset(&m_signOn, 0, sizeof(m_signOn));

    const HRESULT hrInit = CoInitialize(nullptr);
    ConnectServer();
    if (hrInit == S_OK) {
        // This thread was not in COM: only this object brought it in. Rather than
        // hold the thread in COM for the object's life (which only this thread
        // could end), give its proxy back in its own apartment and leave COM now.
        // The thread then calls like any other; the keep-alive packet holds the
        // server object.
        m_spServer = nullptr;
        CoUninitialize();
    } else {
        // Already in COM (the client's own entry keeps the apartment alive for
        // as long as it uses the object), or in the multithreaded apartment.
        if (hrInit == S_FALSE) CoUninitialize();
        if (m_bConnected && m_spServer != nullptr &&
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &m_hOwnerThread,
                            SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
            m_ownerThreadId = GetCurrentThreadId();
        } else {
            m_hOwnerThread = nullptr;
            m_spServer = nullptr;
        }
    }
}

void CServerLink::ConnectServer() {
    try {
        IUnknown* unknown = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_LocalServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                      reinterpret_cast<void**>(&unknown));
        if (hr != S_OK || unknown == nullptr) return;
        hr = OleRun(unknown);
        if (hr == S_OK) hr = unknown->QueryInterface(IID_ILocalServer, reinterpret_cast<void**>(&m_spServer));
        unknown->Release();
        if (hr != S_OK || m_spServer == nullptr) return;
        if (CoMarshalInterThreadInterfaceInStream(IID_ILocalServer, m_spServer, &m_pKeepAlive) != S_OK) {
            m_pKeepAlive = nullptr;
            return;
        }
        if (CreateStreamOnHGlobal(nullptr, TRUE, &m_pStream) != S_OK) {
            m_pStream = nullptr;
            return;
        }
        if (CoMarshalInterface(m_pStream, IID_ILocalServer, m_spServer, MSHCTX_INPROC, nullptr,
                               MSHLFLAGS_TABLEWEAK) != S_OK) {
            m_pStream->Release();
            m_pStream = nullptr;
            return;
        }
        // Clones start where the packet stands: at its first byte.
        const LARGE_INTEGER zero{};
        if (FAILED(m_pStream->Seek(zero, STREAM_SEEK_SET, nullptr))) return;
        m_bConnected = true;
    } catch (...) {
    }
}

CServerLink::~CServerLink() {
    // A client that did not sign off still must not leave the receive thread
    // calling a destroyed object.
    ReleaseRings();

    {
        // The last Release may come on any thread; it needs COM to give back
        // the server's references.
        CComInitGuard guard(m_ownerThreadId);
        if (m_pStream != nullptr) {
            // A table-weak packet holds no reference; release its table entry
            // where the platform keeps one.
            const LARGE_INTEGER zero{};
            if (SUCCEEDED(m_pStream->Seek(zero, STREAM_SEEK_SET, nullptr))) CoReleaseMarshalData(m_pStream);
            m_pStream->Release();
            m_pStream = nullptr;
        }
        if (m_pKeepAlive != nullptr) {
            // Unmarshalling takes over the packet's references along with the
            // stream; the proxy it yields belongs to this thread and goes at once.
            ILocalServer* p = nullptr;
            if (CoGetInterfaceAndReleaseStream(m_pKeepAlive, IID_ILocalServer, reinterpret_cast<void**>(&p)) ==
                    S_OK &&
                p != nullptr)
                p->Release();
            m_pKeepAlive = nullptr;
        }
        if (m_spServer != nullptr) {
            if (GetCurrentThreadId() == m_ownerThreadId) {
                m_spServer = nullptr;
            } else {
                // Only the owner's apartment may release its proxy.
                HandBackToOwner(m_hOwnerThread, m_spServer.Detach());
                m_hOwnerThread = nullptr;
            }
        }
    }
    if (m_hOwnerThread != nullptr) CloseHandle(m_hOwnerThread);
    ModuleRelease();
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

ILocalServer* CServerLink::AcquireServer(bool* owned) {
    *owned = false;
    if (GetCurrentThreadId() == m_ownerThreadId) return m_spServer;
    IStream* clone = nullptr;
    {
        // Only the clone needs the lock; unmarshalling runs outside it, so calls
        // from several threads proceed side by side.
        CAutoLock lock(m_streamLock);
        if (m_pStream == nullptr || FAILED(m_pStream->Clone(&clone)) || clone == nullptr) return nullptr;
    }
    ILocalServer* p = nullptr;
    try {
        // Consumes the clone; the table-weak packet itself stays intact, so a
        // failure here costs this call only.
        if (CoGetInterfaceAndReleaseStream(clone, IID_ILocalServer, reinterpret_cast<void**>(&p)) != S_OK ||
            p == nullptr)
            return nullptr;
    } catch (...) {
        return nullptr;
    }
    *owned = true;
    return p;
}

void CServerLink::ReleaseServer(ILocalServer* p, bool owned) {
    // By ownership, not by address: a thread in the owner's apartment unmarshals
    // the owner's own proxy, with a reference of its own.
    if (p != nullptr && owned) p->Release();
}

}  // namespace serverlink
