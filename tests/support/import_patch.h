#pragma once
// Failure injection through a module's import table: one imported function of a
// loaded module pointed at a hook of the test's, for as long as the patch lives.
#include <windows.h>

namespace testing_support {

class ImportPatch {
public:
    // Patches `function` as `module` imports it from `dll` (by name). ok() is
    // false when the module imports no such function.
    ImportPatch(HMODULE module, const char* dll, const char* function, void* hook);
    ~ImportPatch();  // puts the original back
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool ok() const { return m_slot != nullptr; }
    // What the slot held before: the real function.
    template <class Fn>
    Fn Original() const {
        return reinterpret_cast<Fn>(m_original);
    }

private:
    void** m_slot = nullptr;
    void* m_original = nullptr;
};

// The import slot of `function` from `dll` in `module`, or null.
void** FindImportSlot(HMODULE module, const char* dll, const char* function);

// Writes `value` into an import slot; false if the page could not be made writable.
bool WriteImportSlot(void** slot, void* value);

}  // namespace testing_support
