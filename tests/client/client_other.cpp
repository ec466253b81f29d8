#include "client_other.h"

#include <comdef.h>

_COM_SMARTPTR_TYPEDEF(IServerLink, __uuidof(IServerLink));

const IID* OtherUnitIid() { return &IID_IServerLink; }
const CLSID* OtherUnitClsid() { return &CLSID_ServerLink; }

HRESULT QueryThroughComPtrT(IUnknown* unknown) {
    try {
        IServerLinkPtr link(unknown);
        return link ? S_OK : E_NOINTERFACE;
    } catch (const _com_error& e) {
        return e.Error();
    }
}

HRESULT CreateThroughComPtrT() {
    IServerLinkPtr link;
    HRESULT hr = link.CreateInstance(__uuidof(ServerLink), nullptr, CLSCTX_INPROC_SERVER);
    if (SUCCEEDED(hr) && !link) hr = E_POINTER;
    return hr;
}
