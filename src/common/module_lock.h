#pragma once
#include <windows.h>

namespace serverlink {

// Module-wide count behind DllCanUnloadNow: every live link object, class
// factory and running receive thread holds one, so COM never unloads code that
// is still in use.
void ModuleAddRef();
void ModuleRelease();
LONG ModuleLockCount();

// One module lock for the life of the object that holds it. As its first
// member, it is given back after everything else of the object is gone.
class CModuleUse {
public:
    CModuleUse() { ModuleAddRef(); }
    ~CModuleUse() { ModuleRelease(); }
    CModuleUse(const CModuleUse&) = delete;
    CModuleUse& operator=(const CModuleUse&) = delete;
};

}  // namespace serverlink
