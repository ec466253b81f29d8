#pragma once
#include <windows.h>
#include <oleauto.h>

#include <new>

#include "lifetime.h"

namespace localserver {

// TYPELIB resources embedded in this executable.
constexpr UINT kServerTypeLib = 1;
constexpr UINT kControlTypeLib = 2;

// Full path of this executable.
const wchar_t* ModulePath();

// Type information of one dual interface: the dispatch view is what clients
// get from GetTypeInfo, the vtable view is what DispInvoke calls through.
struct DualTypeInfo {
    ITypeInfo* dispatch = nullptr;
    ITypeInfo* vtable = nullptr;
};

// Loads (once) the dual interface iid from the embedded typelib resource.
HRESULT GetDualTypeInfo(UINT resource, REFIID iid, const DualTypeInfo** out);

// Drops the cached type information; call before CoUninitialize.
void ReleaseTypeInfos();

// Sets a COM error object for the calling thread and returns hr.
HRESULT ReportError(HRESULT hr, REFIID iid, const wchar_t* description);

// IDispatch for a dual interface, from the typelib embedded as resource TypeLib.
template <class Iface, UINT TypeLib>
class DualDispatch : public Iface {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        const DualTypeInfo* ti = nullptr;
        HRESULT hr = GetDualTypeInfo(TypeLib, __uuidof(Iface), &ti);
        if (FAILED(hr)) return hr;
        ti->dispatch->AddRef();
        *info = ti->dispatch;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        const DualTypeInfo* ti = nullptr;
        HRESULT hr = GetDualTypeInfo(TypeLib, __uuidof(Iface), &ti);
        if (FAILED(hr)) return hr;
        return DispGetIDsOfNames(ti->vtable, names, count, ids);
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* excep, UINT* argErr) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        const DualTypeInfo* ti = nullptr;
        HRESULT hr = GetDualTypeInfo(TypeLib, __uuidof(Iface), &ti);
        if (FAILED(hr)) return hr;
        return DispInvoke(static_cast<Iface*>(this), ti->vtable, id, flags, params, result, excep, argErr);
    }
};

// Class object for T (default-constructible, starts with one reference).
// Lives for the whole process, so its own reference count is not tracked.
template <class T>
class ClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        T* obj = new (std::nothrow) T();
        if (!obj) return E_OUTOFMEMORY;
        HRESULT hr = obj->QueryInterface(riid, ppv);
        obj->Release();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            ServerLock();
        else
            ServerUnlock();
        return S_OK;
    }
};

}  // namespace localserver
