#include "module_lock.h"

#include <atomic>

namespace serverlink {

namespace {
std::atomic<LONG> g_moduleLocks{0};
}

void ModuleAddRef() { g_moduleLocks.fetch_add(1); }
void ModuleRelease() { g_moduleLocks.fetch_sub(1); }
LONG ModuleLockCount() { return g_moduleLocks.load(); }

}  // namespace serverlink
