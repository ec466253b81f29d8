#pragma once
#include <windows.h>
#include <objbase.h>

#include <comdef.h>

// The one COM smart pointer of the project: _com_ptr_t, as comdef.h makes it.
// (comdefsp.h, which would declare these, is left out under GCC.)
// Test one for null by its bool only: comparing it with nullptr asks the object
// for its identity, a call on a proxy from whatever thread compares.
_COM_SMARTPTR_TYPEDEF(IUnknown, __uuidof(IUnknown));
_COM_SMARTPTR_TYPEDEF(IStream, __uuidof(IStream));
