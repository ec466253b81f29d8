#pragma once
#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <string>

#include "serverlink.h"

namespace testing_support {

// COM entered for the life of the object (STA by default).
class ComScope {
public:
    explicit ComScope(DWORD model = COINIT_APARTMENTTHREADED) : m_hr(CoInitializeEx(nullptr, model)) {}
    ~ComScope() {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }
    HRESULT hr() const { return m_hr; }

private:
    HRESULT m_hr;
};

// A number unique to this test process and call, for client ids and ring
// numbers that must not collide with tests running in parallel.
uint32_t UniqueNumber();

// Full path of a file next to the test executable (the DLL, the tools).
std::wstring BesideExe(const wchar_t* file);

}  // namespace testing_support
