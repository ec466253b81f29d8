// The second translation unit of the header client: it includes serverlink.h
// too, so the link fails if the header defines an id more than once, and its
// addresses show whether both units share one definition.
#pragma once
#include "serverlink.h"

const IID* OtherUnitIid();
const CLSID* OtherUnitClsid();

// Queries unknown for IServerLink through a _com_ptr_t: S_OK when it answers.
HRESULT QueryThroughComPtrT(IUnknown* unknown);

// Creates the class through a _com_ptr_t, as comdef.h users do.
HRESULT CreateThroughComPtrT();
