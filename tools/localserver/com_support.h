#pragma once
#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <new>
#include <string>

#include "common/com_ptr.h"
#include "lifetime.h"

_COM_SMARTPTR_TYPEDEF(ITypeLib, __uuidof(ITypeLib));
_COM_SMARTPTR_TYPEDEF(ITypeInfo, __uuidof(ITypeInfo));

namespace localserver {

// TYPELIB resources embedded in this executable.
constexpr UINT kServerTypeLib = 1;
constexpr UINT kControlTypeLib = 2;

// Full path of this executable.
const wchar_t* ModulePath();

// The path LoadTypeLibEx takes for an embedded typelib resource.
std::wstring TypeLibPath(UINT resource);

// Type information of one dual interface: the dispatch view is what clients
// get from GetTypeInfo, the vtable view is what DispInvoke calls through.
struct DualTypeInfo {
    ITypeInfoPtr dispatch;
    ITypeInfoPtr vtable;
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
        *info = ITypeInfoPtr(ti->dispatch).Detach();
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

// A server object clients make: the dual interface Iface (also as IDispatch),
// with error objects for it. It starts with one reference, its creator's, and
// holds the server while it lives.
template <class Iface, UINT TypeLib>
class ServerObject : public DualDispatch<Iface, TypeLib>, public ISupportErrorInfo {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == __uuidof(Iface))
            *ppv = static_cast<Iface*>(this);
        else if (riid == IID_ISupportErrorInfo)
            *ppv = static_cast<ISupportErrorInfo*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    // A new reference publishes nothing; the last Release must see what every
    // other holder did before the object goes.
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(m_refs.fetch_add(1, std::memory_order_relaxed) + 1); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG refs = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (refs == 0) delete this;
        return ULONG(refs);
    }

    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == __uuidof(Iface) ? S_OK : S_FALSE;
    }

protected:
    ServerObject() = default;
    virtual ~ServerObject() = default;
    ServerObject(const ServerObject&) = delete;
    ServerObject& operator=(const ServerObject&) = delete;

private:
    ServerUse m_serverUse;  // a base's member: given back once the whole object is gone
    std::atomic<LONG> m_refs{1};
};

// An object that lives as long as the process, offering Iface: it keeps no
// reference count.
template <class Iface>
class ProcessObject : public Iface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == __uuidof(Iface)) {
            *ppv = static_cast<Iface*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

// Class object for T (default-constructible, starts with one reference).
template <class T>
class ClassFactory final : public ProcessObject<IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        T* obj = new (std::nothrow) T();
        if (!obj) return E_OUTOFMEMORY;
        HRESULT hr = obj->QueryInterface(riid, ppv);
        obj->Release();  // the creator's reference: the object now lives on what QueryInterface handed out
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
