#include "lifetime.h"

namespace localserver {

namespace {
volatile LONG g_locks = 0;
volatile LONG g_everLocked = 0;
volatile DWORD g_thread = 0;
void (*g_withdraw)() = nullptr;  // the apartment thread only
}  // namespace

void SetLifetimeThread(DWORD threadId) { g_thread = threadId; }

void ServerLock() {
    InterlockedIncrement(&g_locks);
    InterlockedExchange(&g_everLocked, 1);
}

void ServerUnlock() {
    if (InterlockedDecrement(&g_locks) == 0 && g_thread != 0) PostThreadMessageW(g_thread, kMsgServerIdle, 0, 0);
}

LONG ServerLockCount() { return InterlockedCompareExchange(&g_locks, 0, 0); }

bool ServerEverLocked() { return InterlockedCompareExchange(&g_everLocked, 0, 0) != 0; }

void SetWithdrawAction(void (*action)()) { g_withdraw = action; }

bool WithdrawClasses() {
    if (g_withdraw == nullptr) return false;
    g_withdraw();
    return true;
}

}  // namespace localserver
