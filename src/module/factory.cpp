#include "factory.h"

#include <new>

#include "../../include/serverlink.h"
#include "../common/module_lock.h"
#include "../link/server_link.h"

namespace serverlink {

CServerLinkFactory::CServerLinkFactory() { ModuleAddRef(); }
CServerLinkFactory::~CServerLinkFactory() { ModuleRelease(); }

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

ULONG CServerLinkFactory::AddRef() { return InterlockedIncrement(&m_cRef); }

ULONG CServerLinkFactory::Release() {
    const LONG n = InterlockedDecrement(&m_cRef);
    if (n == 0) delete this;
    return n;
}

HRESULT CServerLinkFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    // Clients ask for IServerLink directly; anything else, IUnknown included, is refused.
    if (!IsEqualIID(riid, IID_IServerLink)) return E_FAIL;
    CServerLink* link = new (std::nothrow) CServerLink();
    if (link == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = link->QueryInterface(riid, ppv);
    if (FAILED(hr)) delete link;
    return hr;
}

HRESULT CServerLinkFactory::LockServer(BOOL) { return E_NOTIMPL; }

}  // namespace serverlink
