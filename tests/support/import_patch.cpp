#include "import_patch.h"

#include <cstring>

namespace testing_support {

void** FindImportSlot(HMODULE module, const char* dll, const char* function) {
    void** found = nullptr;
    ForEachImport(module, [&](const char* from, const char* name, void** slot) {
        if (found == nullptr && name != nullptr && lstrcmpiA(from, dll) == 0 && std::strcmp(name, function) == 0)
            found = slot;
    });
    return found;
}

bool WriteImportSlot(void** slot, void* value) {
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old)) return false;
    *slot = value;
    VirtualProtect(slot, sizeof(*slot), old, &old);
    return true;
}

ImportPatch::ImportPatch(HMODULE module, const char* dll, const char* function, void* hook) {
    void** slot = FindImportSlot(module, dll, function);
    if (slot == nullptr) return;
    void* original = *slot;
    if (!WriteImportSlot(slot, hook)) return;
    m_slot = slot;
    m_original = original;
}

ImportPatch::~ImportPatch() {
    if (m_slot != nullptr) WriteImportSlot(m_slot, m_original);
}

}  // namespace testing_support
