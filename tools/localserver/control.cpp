#include "control.h"

#include <string>

#include "server_state.h"

namespace localserver {

namespace {

HRESULT UnknownOp() { return ReportError(E_INVALIDARG, IID_ILocalServerControl, L"unknown operation name"); }

}  // namespace

Control::Control() { ServerLock(); }
Control::~Control() { ServerUnlock(); }

HRESULT STDMETHODCALLTYPE Control::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ILocalServerControl)
        *ppv = static_cast<ILocalServerControl*>(this);
    else if (riid == IID_ISupportErrorInfo)
        *ppv = static_cast<ISupportErrorInfo*>(this);
    else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE Control::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }

ULONG STDMETHODCALLTYPE Control::Release() {
    const LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
}

HRESULT STDMETHODCALLTYPE Control::InterfaceSupportsErrorInfo(REFIID riid) {
    return riid == IID_ILocalServerControl ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE Control::Reset() {
    ServerState::Instance().Reset();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::SetAnswer(BSTR op, LONG value) {
    Op which;
    if (!OpFromName(op, &which)) return UnknownOp();
    ServerState::Instance().SetAnswer(which, value);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::SetFailure(BSTR op, LONG hr, BSTR description) {
    Op which;
    if (!OpFromName(op, &which)) return UnknownOp();
    // Only failures can be scripted; 0 takes the failure away again.
    if (hr != S_OK && !FAILED(hr))
        return ReportError(E_INVALIDARG, IID_ILocalServerControl, L"hr must be a failure code or 0");
    ServerState::Instance().SetFailure(which, hr, description);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::SetChannel(LONG value) {
    ServerState::Instance().SetChannel(value);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::GetLog(BSTR* log) {
    if (!log) return E_POINTER;
    const std::string text = ServerState::Instance().Log();
    // The log is plain ASCII: names, decimal numbers and hex.
    *log = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    if (!*log) return E_OUTOFMEMORY;
    for (size_t i = 0; i < text.size(); ++i) (*log)[i] = static_cast<unsigned char>(text[i]);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::ClearLog() {
    ServerState::Instance().ClearLog();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::GetObjectCount(LONG* count) {
    if (!count) return E_POINTER;
    *count = ServerState::Instance().LiveObjects();
    return S_OK;
}

}  // namespace localserver
