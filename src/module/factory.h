#pragma once
#include <windows.h>
#include <objbase.h>

namespace serverlink {

// Makes CServerLink objects. Heap object; lives as long as its references.
class CServerLinkFactory final : public IClassFactory {
public:
    CServerLinkFactory();
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    ~CServerLinkFactory();
    volatile LONG m_cRef = 0;
};

}  // namespace serverlink
