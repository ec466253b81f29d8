#include "com_support.h"

#include <deque>

_COM_SMARTPTR_TYPEDEF(ICreateErrorInfo, __uuidof(ICreateErrorInfo));
_COM_SMARTPTR_TYPEDEF(IErrorInfo, __uuidof(IErrorInfo));

namespace localserver {

namespace {

struct CachedTypeInfo {
    UINT resource;
    IID iid;
    DualTypeInfo info;
};

// Filled and used on the server's single apartment thread only.
std::deque<CachedTypeInfo> g_typeInfos;  // deque: handed-out pointers stay valid

}  // namespace

const wchar_t* ModulePath() {
    static wchar_t path[MAX_PATH + 1] = {};
    if (path[0] == 0) {
        DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        path[n < MAX_PATH ? n : MAX_PATH] = 0;
    }
    return path;
}

std::wstring TypeLibPath(UINT resource) {
    // The bare module path loads the first typelib resource, the server's.
    std::wstring path = ModulePath();
    if (resource != kServerTypeLib) path += L"\\" + std::to_wstring(resource);
    return path;
}

HRESULT GetDualTypeInfo(UINT resource, REFIID iid, const DualTypeInfo** out) {
    *out = nullptr;
    for (const CachedTypeInfo& c : g_typeInfos) {
        if (c.resource == resource && c.iid == iid) {
            *out = &c.info;
            return S_OK;
        }
    }

    DualTypeInfo info;
    {
        ITypeLibPtr lib;
        HRESULT hr = LoadTypeLibEx(TypeLibPath(resource).c_str(), REGKIND_NONE, &lib);
        if (SUCCEEDED(hr)) hr = lib->GetTypeInfoOfGuid(iid, &info.dispatch);
        if (FAILED(hr)) return hr;
    }
    // For a dual interface the typelib hands out the dispatch view; the
    // vtable view behind it is reached through implemented type -1.
    HREFTYPE ref = 0;
    if (SUCCEEDED(info.dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref))) {
        const HRESULT hr = info.dispatch->GetRefTypeInfo(ref, &info.vtable);
        if (FAILED(hr)) return hr;
    } else {
        info.vtable = info.dispatch;
    }

    g_typeInfos.push_back({resource, iid, info});
    *out = &g_typeInfos.back().info;
    return S_OK;
}

void ReleaseTypeInfos() { g_typeInfos.clear(); }

HRESULT ReportError(HRESULT hr, REFIID iid, const wchar_t* description) {
    ICreateErrorInfoPtr create;
    if (FAILED(CreateErrorInfo(&create))) return hr;
    create->SetGUID(iid);
    create->SetSource(const_cast<LPOLESTR>(L"LocalServer"));
    create->SetDescription(const_cast<LPOLESTR>(description ? description : L""));
    IErrorInfoPtr info;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) SetErrorInfo(0, info);
    return hr;
}

}  // namespace localserver
