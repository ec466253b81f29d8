// localserver.exe: the reference out-of-process partner of the link DLL.
//
//   localserver.exe /RegServer     register both classes and type libraries
//   localserver.exe /UnregServer   remove them again
//   localserver.exe [-Embedding]   serve LocalServer and LocalServerControl
//
// Switches may start with '/' or '-' and are case-insensitive. One copy at a
// time serves every client (handover.h says which, and how the next one takes
// over). It retires once the last object and server lock have been gone for a
// short grace period, or when nobody used it for a while after it began to
// serve, and it ends once it has been retired and quiet for a while.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdio>

#include "com_support.h"
#include "handover.h"
#include "lifetime.h"
#include "registration.h"
#include "rings.h"

namespace localserver {
namespace {

// Policies only, none of them a condition for serving a client: a client that
// arrives after one ran out is served by the hand-over. A copy that took over
// stays unused at least as long as COM keeps looking for the server it started.
constexpr UINT kUnusedGraceMs = 30000;
// Without clients for this long, the serving copy retires.
constexpr UINT kIdleGraceMs = 2000;
// Retired and without clients for this long, the copy ends: room for a client
// that looked the class up just before the withdrawal to call in.
constexpr UINT kQuietMs = 5000;

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

// A thread timer of the apartment thread.
class Timer {
public:
    Timer() = default;
    ~Timer() { Stop(); }
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void Start(UINT ms) {
        Stop();
        m_id = SetTimer(nullptr, 0, ms, nullptr);
    }
    void Stop() {
        if (m_id) KillTimer(nullptr, m_id);
        m_id = 0;
    }
    bool Running() const { return m_id != 0; }
    bool Fired(const MSG& msg) const {
        return m_id != 0 && msg.hwnd == nullptr && msg.message == WM_TIMER && msg.wParam == m_id;
    }

private:
    UINT_PTR m_id = 0;
};

// The copy has been offering its class objects without clients (or without the
// claim) for its grace period.
void IdleRanOut(ServingRole& role) {
    if (role.WithdrawalPending()) return;  // test hook: the next call decides
    // Offered without the claim, for a late caller: the holder serves the rest.
    if (!role.HoldsClaim()) role.Withdraw();
    if (ServerLockCount() == 0) role.Retire();
}

// Runs the apartment from the moment this copy serves until it ends.
void RunMessageLoop(ServingRole& role) {
    Timer idle;   // offered, and without clients or without the claim
    Timer quiet;  // retired, without clients
    idle.Start(kUnusedGraceMs);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd == nullptr && msg.message == kMsgServerIdle) {
            idle.Start(kIdleGraceMs);
        } else if (idle.Fired(msg)) {
            idle.Stop();
            IdleRanOut(role);
        } else if (quiet.Fired(msg)) {
            quiet.Stop();
            if (ServerLockCount() == 0 && !role.Offered()) break;
        } else {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        // An incoming call may have offered the class objects again for a late
        // caller, or (test hook) withdrawn them.
        if (role.Offered()) {
            quiet.Stop();
            if (!idle.Running() && !role.WithdrawalPending() && (ServerLockCount() == 0 || !role.HoldsClaim()))
                idle.Start(kIdleGraceMs);
        } else if (ServerLockCount() == 0 && !quiet.Running()) {
            quiet.Start(kQuietMs);
        }
    }
}

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
    ServingRole& role = ServingRole::Instance();
    hr = role.Begin();
    if (SUCCEEDED(hr)) {
        RunMessageLoop(role);
    } else {
        std::fprintf(stderr, "localserver: cannot serve: 0x%08lx\n", static_cast<unsigned long>(hr));
        rc = 1;
    }
    role.End();
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
