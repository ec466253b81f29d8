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

// Calls visit(dll, name, slot) for every import of `module`, slot being where
// the loader put the function's address; name is null where the import has
// none (by ordinal, or a module linked without a name table).
template <class Visit>
void ForEachImport(HMODULE module, Visit&& visit) {
    BYTE* const base = reinterpret_cast<BYTE*>(module);
    if (base == nullptr) return;
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name != 0; ++d) {
        const char* dll = reinterpret_cast<const char*>(base + d->Name);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        auto* names =
            d->OriginalFirstThunk ? reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk) : nullptr;
        for (; slots->u1.Function != 0; ++slots) {
            const char* name = nullptr;
            if (names != nullptr && !IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                name = reinterpret_cast<const char*>(
                    reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name);
            visit(dll, name, reinterpret_cast<void**>(&slots->u1.Function));
            if (names != nullptr) ++names;
        }
    }
}

// The import slot of `function` from `dll` in `module`, or null.
void** FindImportSlot(HMODULE module, const char* dll, const char* function);

// Writes `value` into an import slot; false if the page could not be made writable.
bool WriteImportSlot(void** slot, void* value);

}  // namespace testing_support
