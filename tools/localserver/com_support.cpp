#include "com_support.h"

#include <string>
#include <deque>

namespace localserver {

namespace {

struct CachedTypeInfo {
    UINT resource;
    IID iid;
    DualTypeInfo info;
};

// Filled and used on the server's single apartment thread only.
std::deque<CachedTypeInfo> g_typeInfos;  // deque: handed-out pointers stay valid

std::wstring TypeLibPath(UINT resource) {
    std::wstring path = ModulePath();
    if (resource != 1) path += L"\\" + std::to_wstring(resource);
    return path;
}

}  // namespace

const wchar_t* ModulePath() {
    static wchar_t path[MAX_PATH + 1] = {};
    if (path[0] == 0) {
        DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        path[n < MAX_PATH ? n : MAX_PATH] = 0;
    }
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

    ITypeLib* lib = nullptr;
    HRESULT hr = LoadTypeLibEx(TypeLibPath(resource).c_str(), REGKIND_NONE, &lib);
    if (FAILED(hr)) return hr;
    ITypeInfo* dispatch = nullptr;
    hr = lib->GetTypeInfoOfGuid(iid, &dispatch);
    lib->Release();
    if (FAILED(hr)) return hr;

    // For a dual interface the typelib hands out the dispatch view; the
    // vtable view behind it is reached through implemented type -1.
    ITypeInfo* vtable = nullptr;
    HREFTYPE ref = 0;
    if (SUCCEEDED(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)))
        hr = dispatch->GetRefTypeInfo(ref, &vtable);
    else {
        vtable = dispatch;
        vtable->AddRef();
        hr = S_OK;
    }
    if (FAILED(hr)) {
        dispatch->Release();
        return hr;
    }

    g_typeInfos.push_back({resource, iid, {dispatch, vtable}});
    *out = &g_typeInfos.back().info;
    return S_OK;
}

void ReleaseTypeInfos() {
    for (CachedTypeInfo& c : g_typeInfos) {
        c.info.dispatch->Release();
        c.info.vtable->Release();
    }
    g_typeInfos.clear();
}

HRESULT ReportError(HRESULT hr, REFIID iid, const wchar_t* description) {
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
        create->SetGUID(iid);
        create->SetSource(const_cast<LPOLESTR>(L"LocalServer"));
        create->SetDescription(const_cast<LPOLESTR>(description ? description : L""));
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    return hr;
}

}  // namespace localserver
