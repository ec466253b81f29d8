#pragma once
// Strict COM: holds the DLL's use of server proxies to the apartment rules that
// Windows enforces and Wine lets pass. The DLL's COM imports are hooked; every
// server proxy it obtains comes wrapped, bound to the apartment that obtained it,
// and any AddRef, Release or call from another apartment is a violation that
// fails the running test. Table marshalling of a proxy is refused with
// E_INVALIDARG, as older Windows does (on newer ones such a table-weak packet
// dies with the proxy it was made from).
//
// On for a whole test program when SERVERLINK_STRICT_COM=1 is set (ctest runs
// the STRICT programs a second time that way, as "strict.*"). There every test
// must wrap at least one proxy, or it fails: it would have checked nothing.
#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <string>

#include "localserver.h"

namespace testing_support {

// SERVERLINK_STRICT_COM=1: this process is a strict run.
bool StrictComOn();

// Hooks the COM imports of the serverlink.dll that COM loads for the registered
// class, and keeps that module loaded for the rest of the process. True when
// every import through which the DLL could obtain or marshal a proxy is hooked;
// on failure *error says why.
bool InstallStrictCom(std::string* error = nullptr);

// The imports of `module` from the COM libraries through which a proxy could
// pass unchecked: functions that obtain or marshal one and have no hook here,
// and imports by ordinal. Empty when the layer can check the module.
std::string StrictHookGaps(HMODULE module);

// Violations recorded in this process so far.
size_t StrictViolationCount();

// Server proxies wrapped in this process so far.
size_t StrictWrappedCount();

// A LocalServer activated through the layer's CoCreateInstance hook, as the
// DLL would obtain it: wrapped, bound to the calling thread's apartment.
HRESULT StrictCreateLocalServer(ILocalServer** server);

// The layer's CoMarshalInterface, as the DLL reaches it.
HRESULT WINAPI StrictCoMarshalInterface(IStream* stream, REFIID riid, IUnknown* object, DWORD destContext,
                                        void* destContextData, DWORD flags);

// While one lives, violations are collected rather than failing the test.
class ExpectStrictViolations {
public:
    ExpectStrictViolations();
    ~ExpectStrictViolations();
    ExpectStrictViolations(const ExpectStrictViolations&) = delete;
    ExpectStrictViolations& operator=(const ExpectStrictViolations&) = delete;
    size_t Count() const;  // since this object was made
    std::string Text() const;

private:
    size_t m_start;
};

}  // namespace testing_support
