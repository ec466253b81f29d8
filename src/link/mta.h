#pragma once
#include <windows.h>

namespace serverlink {

// The process's multithreaded apartment is where a link keeps the server proxy
// that every thread but the owner uses: an MTA proxy may be called and released
// from any thread of the MTA, at the same time, and other apartments reach it
// through no marshal packet at all.

// Scoped COM entry for one call on a thread that is not the link's owner: it
// joins the MTA for the length of the call when the thread is outside COM, and
// leaves a thread that is already in COM as it was. InMta() tells whether the
// thread may use an MTA proxy now; a thread in a single-threaded apartment may
// not.
class CComInitGuard {
public:
    CComInitGuard();
    ~CComInitGuard();
    CComInitGuard(const CComInitGuard&) = delete;
    CComInitGuard& operator=(const CComInitGuard&) = delete;
    bool InMta() const { return m_bInMta; }

private:
    bool m_bInitialized = false;
    bool m_bInMta = false;
};

// Runs fn(ctx) in the MTA and returns true, or returns false without running it.
// On the calling thread when CComInitGuard can bring it into the MTA; from a
// single-threaded apartment on a pool thread, while the caller waits serving its
// own apartment (as any outgoing COM call from it does). Calls from several
// threads run side by side.
bool RunInMta(void (*fn)(void* ctx), void* ctx);

template <class Fn>
bool RunInMta(Fn& fn) {
    return RunInMta([](void* ctx) { (*static_cast<Fn*>(ctx))(); }, &fn);
}

// Keeps the MTA alive while any holder needs it: a proxy in the MTA dies with it,
// and the MTA ends when its last thread leaves COM, whoever that thread is. A
// thread of the module stays in the MTA from the first Acquire to the last
// Release (and keeps the module loaded meanwhile).
bool MtaAcquire();
void MtaRelease();
// The module is being unloaded (FreeLibrary, not process exit): frees the keeper.
void ShutdownMta();

}  // namespace serverlink
