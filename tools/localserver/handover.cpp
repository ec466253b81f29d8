#include "handover.h"

#include <cstdio>

#include "control.h"
#include "lifetime.h"
#include "local_server.h"

_COM_SMARTPTR_TYPEDEF(IMessageFilter, __uuidof(IMessageFilter));

namespace localserver {

namespace {

ClassFactory<LocalServer> g_serverFactory;
ClassFactory<Control> g_controlFactory;

void ServeMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// The calls by which COM activates: on a class object, or on the apartment's
// activation service that hands one out.
bool IsActivation(const INTERFACEINFO* info) {
    return info != nullptr && (info->iid == IID_IClassFactory || info->iid == IID_IServiceProvider);
}

}  // namespace

HRESULT Claim::Open() {
    if (!m_mutex) m_mutex.Reset(CreateMutexW(nullptr, FALSE, LocalServerServingClaim));
    return m_mutex ? S_OK : HRESULT_FROM_WIN32(GetLastError());
}

bool Claim::Take() {
    HANDLE mutex = m_mutex.Get();
    while (!m_held) {
        const DWORD wait = MsgWaitForMultipleObjects(1, &mutex, FALSE, INFINITE, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED_0)
            m_held = true;
        else if (wait == WAIT_OBJECT_0 + 1)
            ServeMessages();
        else
            return false;
    }
    return true;
}

bool Claim::TryTake() {
    if (!m_held && m_mutex) {
        const DWORD wait = WaitForSingleObject(m_mutex.Get(), 0);
        m_held = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    return m_held;
}

void Claim::Release() {
    if (m_held) ReleaseMutex(m_mutex.Get());
    m_held = false;
}

HRESULT ClassObjects::Offer() {
    if (Offered()) return S_OK;
    HRESULT hr = CoRegisterClassObject(CLSID_LocalServer, &g_serverFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                       &m_server);
    if (SUCCEEDED(hr))
        hr = CoRegisterClassObject(CLSID_LocalServerControl, &g_controlFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                   &m_control);
    if (FAILED(hr)) Withdraw();
    return hr;
}

void ClassObjects::Withdraw() {
    if (m_server) CoRevokeClassObject(m_server);
    if (m_control) CoRevokeClassObject(m_control);
    m_server = m_control = 0;
}

ServingRole& ServingRole::Instance() {
    static ServingRole role;
    return role;
}

HRESULT ServingRole::Begin() {
    HRESULT hr = m_claim.Open();
    if (FAILED(hr)) return hr;
    if (!m_claim.Take()) {
        const DWORD error = GetLastError();
        return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    IMessageFilterPtr previous;
    hr = CoRegisterMessageFilter(this, &previous);
    if (FAILED(hr)) return hr;
    m_watching = true;
    return m_classes.Offer();
}

void ServingRole::End() {
    if (m_watching) {
        IMessageFilterPtr previous;
        CoRegisterMessageFilter(nullptr, &previous);
        m_watching = false;
    }
    Retire();
}

void ServingRole::Retire() {
    // Withdrawn before the claim goes: the next holder is the only one offering.
    m_classes.Withdraw();
    m_claim.Release();
}

void ServingRole::TakeBack() {
    m_claim.TryTake();
    const HRESULT hr = m_classes.Offer();
    if (FAILED(hr))
        std::fprintf(stderr, "localserver: cannot offer the class objects again: 0x%08lx\n",
                     static_cast<unsigned long>(hr));
}

void ServingRole::WithdrawOnNextCall(serverlink::CHandle ready) {
    m_withdrawOnCall = true;
    SetEvent(ready.Get());
}

DWORD STDMETHODCALLTYPE ServingRole::HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO info) {
    if (m_withdrawOnCall) {
        m_withdrawOnCall = false;
        Retire();
    }
    // Nothing is offered, yet a call comes in: someone found the class offered
    // and is activating. With no objects alive every call is part of that.
    if (!Offered() && (ServerLockCount() == 0 || IsActivation(info))) TakeBack();
    return SERVERCALL_ISHANDLED;
}

// This apartment makes no calls out; COM's defaults for those.
DWORD STDMETHODCALLTYPE ServingRole::RetryRejectedCall(HTASK, DWORD, DWORD) { return DWORD(-1); }

DWORD STDMETHODCALLTYPE ServingRole::MessagePending(HTASK, DWORD, DWORD) { return PENDINGMSG_WAITDEFPROCESS; }

}  // namespace localserver
