#include "registration.h"

#include <oleauto.h>

#include <iterator>
#include <string>

#include "com_support.h"
#include "localserver.h"
#include "localserver_control.h"

namespace localserver {

namespace {

struct ClassEntry {
    const CLSID* clsid;
    const wchar_t* name;
    const GUID* libid;
    UINT typeLib;
};

// Both type libraries are version 1.0, and widl writes them with LCID 0.
constexpr WORD kLibMajor = 1;
constexpr WORD kLibMinor = 0;
constexpr LCID kLibLcid = 0;
// RegisterTypeLib records a library under the platform of the registering
// process; removing it must name the same one.
#ifdef _WIN64
constexpr SYSKIND kLibSysKind = SYS_WIN64;
#else
constexpr SYSKIND kLibSysKind = SYS_WIN32;
#endif

const ClassEntry kClasses[] = {
    {&CLSID_LocalServer, L"Local server", &LIBID_LocalServerLib, kServerTypeLib},
    {&CLSID_LocalServerControl, L"Local server control", &LIBID_LocalServerControlLib, kControlTypeLib},
};

std::wstring GuidString(REFGUID guid) {
    wchar_t buf[40] = {};
    StringFromGUID2(guid, buf, int(std::size(buf)));
    return buf;
}

HRESULT SetDefaultValue(const std::wstring& key, const std::wstring& value) {
    HKEY h = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    rc = RegSetValueExW(h, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
    return HRESULT_FROM_WIN32(rc);
}

bool KeyExists(const std::wstring& key) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

HRESULT RegisterTypeLibResource(UINT resource) {
    std::wstring path = TypeLibPath(resource);
    ITypeLibPtr lib;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib);
    if (FAILED(hr)) return hr;
    // RegisterTypeLib rather than REGKIND_REGISTER: it records the path as given.
    return RegisterTypeLib(lib, path.data(), nullptr);
}

}  // namespace

HRESULT RegisterServer() {
    const std::wstring command = L"\"" + std::wstring(ModulePath()) + L"\"";
    for (const ClassEntry& c : kClasses) {
        const std::wstring key = L"CLSID\\" + GuidString(*c.clsid);
        HRESULT hr = SetDefaultValue(key, c.name);
        if (SUCCEEDED(hr)) hr = SetDefaultValue(key + L"\\LocalServer32", command);
        if (SUCCEEDED(hr)) hr = SetDefaultValue(key + L"\\TypeLib", GuidString(*c.libid));
        if (SUCCEEDED(hr)) hr = RegisterTypeLibResource(c.typeLib);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT UnregisterServer() {
    HRESULT result = S_OK;
    for (const ClassEntry& c : kClasses) {
        const std::wstring key = L"CLSID\\" + GuidString(*c.clsid);
        LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && SUCCEEDED(result)) result = HRESULT_FROM_WIN32(rc);
        // UnRegisterTypeLib fails on a library that is not registered, so look first.
        const std::wstring version = std::to_wstring(kLibMajor) + L"." + std::to_wstring(kLibMinor);
        if (!KeyExists(L"TypeLib\\" + GuidString(*c.libid) + L"\\" + version)) continue;
        HRESULT hr = UnRegisterTypeLib(*c.libid, kLibMajor, kLibMinor, kLibLcid, kLibSysKind);
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    return result;
}

}  // namespace localserver
