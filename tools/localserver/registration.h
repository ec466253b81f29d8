#pragma once
#include <windows.h>

namespace localserver {

// Writes HKCR\CLSID entries for LocalServer and LocalServerControl
// (LocalServer32 = quoted path of this exe, TypeLib) and registers both
// embedded type libraries, which sets up the automation marshaller for
// ILocalServer and ILocalServerControl.
HRESULT RegisterServer();

// Removes what RegisterServer wrote; missing entries are not an error.
HRESULT UnregisterServer();

}  // namespace localserver
