#pragma once
#include <windows.h>
#include <oleauto.h>

#include <comdef.h>

#include <cstdint>

namespace serverlink {

// Raises the COM error for a failed server call, with the server's error object
// when it offers one for `iid`. The caller catches it and answers E_FAIL.
void ThrowIfFailed(HRESULT hr, IUnknown* server, REFIID iid);

// The same for a call on the local server's interface.
template <class Server>
inline void Check(HRESULT hr, Server* server) {
    ThrowIfFailed(hr, server, __uuidof(Server));
}

// Owns one VT_UI1 SAFEARRAY.
class CByteArray {
public:
    // Creates a zero-based array of `count` bytes and copies `bytes` into it.
    // Throws CError if the array cannot be made or filled.
    CByteArray(const void* bytes, uint32_t count);
    ~CByteArray();
    CByteArray(const CByteArray&) = delete;
    CByteArray& operator=(const CByteArray&) = delete;
    SAFEARRAY* get() const { return m_psa; }

private:
    SAFEARRAY* m_psa = nullptr;
};

// Owns one VARIANT: cleared on every way out.
class CVariant {
public:
    CVariant() { VariantInit(&m_v); }
    ~CVariant() { VariantClear(&m_v); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;
    VARIANT* operator&() { return &m_v; }
    VARIANT& get() { return m_v; }
    // Clears now, raising the COM error if the clear fails.
    void Clear();

private:
    VARIANT m_v;
};

// A byte array as the server receives it: wrapped in a VARIANT and deep copied
// (raising the COM error if the copy fails); the copy is passed by value and
// cleared after the call. The array itself stays with its owner.
class CByteBlockArg {
public:
    explicit CByteBlockArg(const CByteArray& array);
    VARIANT& Arg() { return m_copy.get(); }
    // Clears the copy after the call (raising the COM error if that fails).
    void Done() { m_copy.Clear(); }

private:
    CVariant m_copy;
};

}  // namespace serverlink
