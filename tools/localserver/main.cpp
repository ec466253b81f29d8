// localserver.exe: the reference out-of-process partner of the link DLL.
//
//   localserver.exe /RegServer     register both classes and type libraries
//   localserver.exe /UnregServer   remove them again
//   localserver.exe [-Embedding]   serve LocalServer and LocalServerControl
//
// Switches may start with '/' or '-' and are case-insensitive. One process
// serves every client; it ends once the last object and server lock are gone
// (after a short grace period, so a client activating at that moment is not
// turned away), or when nothing was created within kStartupTimeoutMs.
//
// Clients activating at the same moment can make COM start several copies.
// Only the holder of a named mutex registers its class objects, so the script
// set through a control object always applies to the LocalServer objects of
// the same test. A copy that cannot get the mutex within kTakeoverWaitMs
// leaves the work to the one holding it; the holder lets go as it retires.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdio>

#include "com_support.h"
#include "control.h"
#include "lifetime.h"
#include "local_server.h"
#include "registration.h"
#include "rings.h"

namespace localserver {
namespace {

constexpr UINT kStartupTimeoutMs = 30000;
// Idle time before the class objects are withdrawn, then before exiting.
constexpr UINT kIdleGraceMs = 2000;
constexpr UINT kDrainMs = 1000;
constexpr DWORD kTakeoverWaitMs = 5000;

enum class Mode { Serve, Register, Unregister, Invalid };

Mode ParseCommandLine() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return Mode::Invalid;
    Mode mode = Mode::Serve;
    for (int i = 1; i < argc && mode != Mode::Invalid; ++i) {
        const wchar_t* a = argv[i];
        if (a[0] != L'/' && a[0] != L'-') {
            mode = Mode::Invalid;
            break;
        }
        ++a;
        if (lstrcmpiW(a, L"RegServer") == 0)
            mode = Mode::Register;
        else if (lstrcmpiW(a, L"UnregServer") == 0)
            mode = Mode::Unregister;
        else if (lstrcmpiW(a, L"Embedding") != 0 && lstrcmpiW(a, L"Automation") != 0)
            mode = Mode::Invalid;
    }
    LocalFree(argv);
    return mode;
}

ClassFactory<LocalServer> g_serverFactory;
ClassFactory<Control> g_controlFactory;

// The serving role: the named mutex plus the class registrations under it.
class ClassRegistration {
public:
    // S_FALSE: another process serves, nothing was registered.
    HRESULT Register() {
        m_mutex = CreateMutexW(nullptr, FALSE, LocalServerServingClaim);
        if (!m_mutex) return HRESULT_FROM_WIN32(GetLastError());
        const DWORD wait = WaitForSingleObject(m_mutex, kTakeoverWaitMs);
        if (wait == WAIT_TIMEOUT) return S_FALSE;
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return HRESULT_FROM_WIN32(GetLastError());
        m_owner = true;
        HRESULT hr = CoRegisterClassObject(CLSID_LocalServer, &g_serverFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                           &m_server);
        if (SUCCEEDED(hr))
            hr = CoRegisterClassObject(CLSID_LocalServerControl, &g_controlFactory, CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE, &m_control);
        return hr;
    }
    // Withdraws the class objects, then hands the role to whoever waits.
    void Revoke() {
        if (m_server) CoRevokeClassObject(m_server);
        if (m_control) CoRevokeClassObject(m_control);
        m_server = m_control = 0;
        if (m_owner) ReleaseMutex(m_mutex);
        m_owner = false;
    }
    bool Active() const { return m_owner; }
    ~ClassRegistration() {
        Revoke();
        if (m_mutex) CloseHandle(m_mutex);
    }

private:
    HANDLE m_mutex = nullptr;
    bool m_owner = false;
    DWORD m_server = 0;
    DWORD m_control = 0;
};

// Test hook (HoldWithdrawalForCall): the event to set at the next withdrawal,
// and whether the withdrawal waits for the next incoming call.
HANDLE g_holdReady = nullptr;
bool g_withdrawOnCall = false;
ClassRegistration* g_classes = nullptr;

class CallWatch final : public IMessageFilter {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMessageFilter) {
            *ppv = static_cast<IMessageFilter*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override {
        if (g_withdrawOnCall && g_classes) {
            g_withdrawOnCall = false;
            g_classes->Revoke();
            PostThreadMessageW(GetCurrentThreadId(), kMsgServerIdle, 0, 0);
        }
        return SERVERCALL_ISHANDLED;
    }
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override { return DWORD(-1); }
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }
} g_callWatch;

// Runs the apartment until the server is no longer needed.
void RunMessageLoop(ClassRegistration& classes) {
    UINT_PTR startupTimer = SetTimer(nullptr, 0, kStartupTimeoutMs, nullptr);
    UINT_PTR idleTimer = 0;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd == nullptr && msg.message == kMsgServerIdle) {
            if (idleTimer) KillTimer(nullptr, idleTimer);
            idleTimer = SetTimer(nullptr, 0, kIdleGraceMs, nullptr);
            continue;
        }
        if (msg.hwnd == nullptr && msg.message == WM_TIMER && msg.wParam != 0) {
            if (msg.wParam == startupTimer) {
                KillTimer(nullptr, startupTimer);
                startupTimer = 0;
                if (!ServerEverLocked()) break;
                continue;
            }
            if (msg.wParam == idleTimer) {
                KillTimer(nullptr, idleTimer);
                idleTimer = 0;
                if (ServerLockCount() != 0) continue;
                if (!classes.Active()) break;
                if (g_holdReady) {
                    SetEvent(g_holdReady);
                    CloseHandle(g_holdReady);
                    g_holdReady = nullptr;
                    g_withdrawOnCall = true;
                    continue;
                }
                // Stop taking new clients first, then give calls already on
                // their way one more grace period to create an object.
                classes.Revoke();
                idleTimer = SetTimer(nullptr, 0, kDrainMs, nullptr);
                continue;
            }
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (startupTimer) KillTimer(nullptr, startupTimer);
    if (idleTimer) KillTimer(nullptr, idleTimer);
}

}  // namespace

HRESULT HoldWithdrawalForCall(HANDLE ready) {
    if (g_holdReady) CloseHandle(g_holdReady);
    g_holdReady = ready;
    return S_OK;
}

namespace {

int Serve() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
        std::fprintf(stderr, "localserver: CoInitializeEx failed 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    // Make sure the thread has a message queue before anyone can post to it.
    MSG peek;
    PeekMessageW(&peek, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetLifetimeThread(GetCurrentThreadId());

    int rc = 0;
    {
        ClassRegistration classes;
        hr = classes.Register();
        if (hr == S_OK) {
            g_classes = &classes;
            IMessageFilter* previous = nullptr;
            CoRegisterMessageFilter(&g_callWatch, &previous);
            RunMessageLoop(classes);
            CoRegisterMessageFilter(nullptr, &previous);
            g_classes = nullptr;
        } else if (FAILED(hr)) {
            std::fprintf(stderr, "localserver: cannot serve: 0x%08lx\n", static_cast<unsigned long>(hr));
            rc = 1;
        }
    }
    // The poll thread must end before the statics it uses go.
    RingHub::Instance().Stop();
    SetLifetimeThread(0);
    ReleaseTypeInfos();
    CoUninitialize();
    return rc;
}

int Register(bool add) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) return 1;
    hr = add ? RegisterServer() : UnregisterServer();
    CoUninitialize();
    if (FAILED(hr)) {
        std::fprintf(stderr, "localserver: %s failed 0x%08lx\n", add ? "registration" : "unregistration",
                     static_cast<unsigned long>(hr));
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace localserver

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    using localserver::Mode;
    switch (localserver::ParseCommandLine()) {
        case Mode::Register:
            return localserver::Register(true);
        case Mode::Unregister:
            return localserver::Register(false);
        case Mode::Serve:
            return localserver::Serve();
        case Mode::Invalid:
            break;
    }
    std::fprintf(stderr, "usage: localserver [/RegServer | /UnregServer | /Embedding]\n");
    return 2;
}
