#include "test_support.h"

namespace testing_support {

uint32_t UniqueNumber() {
    static volatile LONG counter = 0;
    // Process id in the high bits keeps parallel test processes apart.
    return (GetCurrentProcessId() << 12) ^ (static_cast<uint32_t>(InterlockedIncrement(&counter)) & 0xFFF);
}

std::wstring BesideExe(const wchar_t* file) {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    const size_t slash = dir.find_last_of(L"\\/");
    if (slash != std::wstring::npos) dir.resize(slash + 1);
    return dir + file;
}

}  // namespace testing_support
