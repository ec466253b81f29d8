#include "factory.h"

#include <new>

#include "../../include/serverlink.h"
#include "../link/server_link.h"

namespace serverlink {

HRESULT CServerLinkFactory::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CServerLinkFactory::AddRef() { return ULONG(m_cRef.fetch_add(1) + 1); }

ULONG CServerLinkFactory::Release() {
    const LONG n = m_cRef.fetch_sub(1) - 1;
    if (n == 0) delete this;
    return ULONG(n);
}

HRESULT CServerLinkFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    // Clients ask for IServerLink directly; anything else, IUnknown included, is refused.
    if (!IsEqualIID(riid, IID_IServerLink)) return E_FAIL;
    CServerLink* link = nullptr;
    try {
        link = new CServerLink();
    } catch (const std::bad_alloc&) {
        // The object, or a part it makes once per process, could not be made;
        // nothing of it is left.
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = link->QueryInterface(riid, ppv);
    if (FAILED(hr)) delete link;
    return hr;
}

HRESULT CServerLinkFactory::LockServer(BOOL) { return E_NOTIMPL; }

}  // namespace serverlink
