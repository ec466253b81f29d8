#pragma once
#include <windows.h>

namespace localserver {

// Process lifetime: every live COM object and every LockServer(TRUE) holds the
// server. When the count returns to zero the main thread is told with
// kMsgServerIdle, and decides whether to retire.
constexpr UINT kMsgServerIdle = WM_APP + 1;

void SetLifetimeThread(DWORD threadId);
void ServerLock();
void ServerUnlock();
LONG ServerLockCount();

}  // namespace localserver
