#pragma once
#include <windows.h>

namespace serverlink {

// Module-wide count behind DllCanUnloadNow: every live link object, class
// factory and running receive thread holds one, so COM never unloads code that
// is still in use.
void ModuleAddRef();
void ModuleRelease();
LONG ModuleLockCount();

}  // namespace serverlink
