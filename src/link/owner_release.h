#pragma once
#include <windows.h>
#include <unknwn.h>

namespace serverlink {

// An interface pointer belongs to the apartment that obtained it, and only that
// apartment may release it. When a link object dies on another thread, its
// owner thread's server proxy is handed back here and released on the owner
// thread the next time that thread calls into the module (or at once, by
// whichever thread comes first, when the owner thread has ended: its apartment
// has nobody left to do it). If the owner never calls again, COM gives the
// proxy's server references back when the owner's apartment ends. A proxy
// waiting here keeps the module loaded (DllCanUnloadNow says S_FALSE).

// Takes over `ownerThread` (a real handle to the owner thread) and `p`.
void HandBackToOwner(HANDLE ownerThread, IUnknown* p);

// Releases what was handed back to the calling thread, and what was handed back
// to threads that have ended. Cheap when there is nothing to do.
void ReleaseHandedBack();

// Number of proxies waiting for their owner (tests and diagnostics).
LONG HandedBackCount();

}  // namespace serverlink
