#include "lifetime.h"

namespace localserver {

namespace {
volatile LONG g_locks = 0;
volatile DWORD g_thread = 0;
}  // namespace

void SetLifetimeThread(DWORD threadId) { g_thread = threadId; }

void ServerLock() { InterlockedIncrement(&g_locks); }

void ServerUnlock() {
    if (InterlockedDecrement(&g_locks) == 0 && g_thread != 0) PostThreadMessageW(g_thread, kMsgServerIdle, 0, 0);
}

LONG ServerLockCount() { return InterlockedCompareExchange(&g_locks, 0, 0); }

}  // namespace localserver
