#include "module_lock.h"

namespace serverlink {

namespace {
volatile LONG g_cModuleLocks = 0;
}

void ModuleAddRef() { InterlockedIncrement(&g_cModuleLocks); }
void ModuleRelease() { InterlockedDecrement(&g_cModuleLocks); }
LONG ModuleLockCount() { return InterlockedCompareExchange(&g_cModuleLocks, 0, 0); }

}  // namespace serverlink
