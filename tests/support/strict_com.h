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
// the STRICT programs a second time that way, as "strict.*").
#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <string>

#include "localserver.h"

namespace testing_support {

// Loads serverlink.dll for the rest of the process (so that COM's own load of
// it finds the same module) and hooks its COM imports. True when in place; on
// failure *error says why.
bool InstallStrictCom(std::string* error = nullptr);

// Violations recorded in this process so far.
size_t StrictViolationCount();

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
