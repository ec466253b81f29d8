#include "server_link.h"

#include <cstring>

#include "../common/module_lock.h"
#include "../shm/channel_hub.h"

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
    std::memset(&m_signOn, 0, sizeof(m_signOn));
    std::memset(m_sinks, 0, sizeof(m_sinks));
    InitializeCriticalSection(&m_peerLock);
    InitializeCriticalSection(&m_sendLock);

    const HRESULT hrInit = CoInitialize(nullptr);
    if (hrInit == S_OK || hrInit == S_FALSE) m_comInitThreadId = GetCurrentThreadId();

    HRESULT hr = E_FAIL;
    try {
        IUnknown* unknown = nullptr;
        hr = CoCreateInstance(CLSID_LocalServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                              reinterpret_cast<void**>(&unknown));
        if (SUCCEEDED(hr)) {
            hr = OleRun(unknown);
            if (SUCCEEDED(hr)) hr = unknown->QueryInterface(IID_ILocalServer, reinterpret_cast<void**>(&m_spServer));
            unknown->Release();
        }
    } catch (...) {
        hr = E_FAIL;
    }
    if (hr != S_OK || m_spServer == nullptr) return;

    // Other threads unmarshal their own proxy from this stream (see AcquireServer).
    if (CoMarshalInterThreadInterfaceInStream(IID_ILocalServer, m_spServer, &m_pStream) != S_OK) {
        m_pStream = nullptr;
        return;
    }
    m_ownerThreadId = GetCurrentThreadId();
    m_bConnected = true;
}

CServerLink::~CServerLink() {
    // A client that did not sign off still must not leave the receive thread
    // calling a destroyed object.
    ReleaseRings();

    {
        // The last Release may come on any thread; it needs COM to give back
        // the server's references.
        CComInitGuard guard(m_comInitThreadId);

        if (m_pStream != nullptr) {
            // Unmarshalling frees the packet's references along with the stream.
            ILocalServer* p = nullptr;
            if (CoGetInterfaceAndReleaseStream(m_pStream, IID_ILocalServer, reinterpret_cast<void**>(&p)) == S_OK &&
                p != nullptr)
                p->Release();
            m_pStream = nullptr;
        }
        if (m_spServer != nullptr) {
            m_spServer->Release();
            m_spServer = nullptr;
        }
    }
    DeleteCriticalSection(&m_peerLock);
    DeleteCriticalSection(&m_sendLock);
    // Balance the constructor's CoInitialize, which only its own thread can do.
    if (m_comInitThreadId != 0 && m_comInitThreadId == GetCurrentThreadId()) CoUninitialize();
    ModuleRelease();
}

void CServerLink::ReleaseRings() {
    CChannelHub::Instance().UnregisterOwner(this);
    CShmQueue* old = nullptr;
    {
        CAutoLock lock(&m_sendLock);
        old = m_pOutQueue;
        m_pOutQueue = nullptr;
    }
    delete old;
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
    if (n == 0) delete this;
    return n;
}

ILocalServer* CServerLink::AcquireServer(bool* owned) {
    *owned = false;
    if (GetCurrentThreadId() == m_ownerThreadId) return m_spServer;
    // A marshal packet carries a fixed number of references and may be
    // unmarshalled once. So each caller takes the packet, unmarshals its own
    // proxy, and leaves a fresh packet made from that proxy for the next caller.
    CAutoLock lock(m_streamLock);
    if (m_pStream == nullptr) return nullptr;
    IStream* stream = m_pStream;
    m_pStream = nullptr;
    ILocalServer* p = nullptr;
    try {
        // Consumes the stream whatever the outcome.
        if (CoGetInterfaceAndReleaseStream(stream, IID_ILocalServer, reinterpret_cast<void**>(&p)) != S_OK ||
            p == nullptr)
            return nullptr;
        if (CoMarshalInterThreadInterfaceInStream(IID_ILocalServer, p, &m_pStream) != S_OK) m_pStream = nullptr;
    } catch (...) {
        if (p != nullptr) p->Release();
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
