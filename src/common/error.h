#pragma once
#include <windows.h>

#include <exception>

namespace serverlink {

// The project's one exception type, for every failure that is not a failed
// call to the local server (those raise the COM error, _com_error). It carries
// a fixed text, such as the ring's "create shm fail!".
class CError : public std::exception {
public:
    explicit CError(const char* text) noexcept : m_text(text) {}
    const char* what() const noexcept override { return m_text; }

private:
    const char* m_text;
};

// The COM boundary: runs fn, which returns an HRESULT, and turns anything it
// throws into E_FAIL. The failure is that of the one call; what it was is not
// kept, since no client is told more than E_FAIL.
template <class Fn>
HRESULT HResultOf(Fn&& fn) noexcept {
    try {
        return fn();
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace serverlink
