#include "lifetime.h"

#include <atomic>

namespace localserver {

namespace {
// A lock publishes nothing when taken; the last one given back must see what
// every holder did before the main thread acts on the zero (acq_rel, acquire).
std::atomic<LONG> g_locks{0};
std::atomic<DWORD> g_thread{0};
}  // namespace

void SetLifetimeThread(DWORD threadId) { g_thread.store(threadId, std::memory_order_release); }

void ServerLock() { g_locks.fetch_add(1, std::memory_order_relaxed); }

void ServerUnlock() {
    if (g_locks.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    const DWORD thread = g_thread.load(std::memory_order_acquire);
    if (thread != 0) PostThreadMessageW(thread, kMsgServerIdle, 0, 0);
}

LONG ServerLockCount() { return g_locks.load(std::memory_order_acquire); }

}  // namespace localserver
