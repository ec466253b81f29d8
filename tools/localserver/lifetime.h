#pragma once
#include <windows.h>

namespace localserver {

// Process lifetime: every live COM object and every LockServer(TRUE) holds the
// server. When the count returns to zero the main thread is told with
// kMsgServerIdle, and decides whether to shut down.
constexpr UINT kMsgServerIdle = WM_APP + 1;

void SetLifetimeThread(DWORD threadId);
void ServerLock();
void ServerUnlock();
LONG ServerLockCount();
bool ServerEverLocked();

// Withdrawing the class objects early (the control's WithdrawClasses): main
// sets the action while it serves; the control calls it on the same thread.
void SetWithdrawAction(void (*action)());
bool WithdrawClasses();  // false when nothing is served

}  // namespace localserver
