#pragma once
#include <windows.h>
#include <objbase.h>

#include <atomic>

#include "../common/module_lock.h"

namespace serverlink {

// Makes CServerLink objects. Heap object; lives as long as its references.
class CServerLinkFactory final : public IClassFactory {
public:
    CServerLinkFactory() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    ~CServerLinkFactory() = default;
    CModuleUse m_moduleUse;  // a live factory keeps the module loaded
    std::atomic<LONG> m_cRef{0};
};

}  // namespace serverlink
