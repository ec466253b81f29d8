#include "com_util.h"

#include <cstring>

#include "../common/error.h"

namespace serverlink {

namespace {
const char kNoArray[] = "byte array could not be made";
}  // namespace

void ThrowIfFailed(HRESULT hr, IUnknown* server, REFIID iid) {
    if (SUCCEEDED(hr)) return;
    IErrorInfo* info = nullptr;
    ISupportErrorInfo* support = nullptr;
    if (server != nullptr &&
        SUCCEEDED(server->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)))) {
        if (support->InterfaceSupportsErrorInfo(iid) == S_OK && GetErrorInfo(0, &info) != S_OK) info = nullptr;
        support->Release();
    }
    throw _com_error(hr, info, false);  // takes over the reference to `info`
}

CByteArray::CByteArray(const void* bytes, uint32_t count) {
    SAFEARRAYBOUND bound{count, 0};
    m_psa = SafeArrayCreate(VT_UI1, 1, &bound);
    if (m_psa == nullptr) throw CError(kNoArray);
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(m_psa, &data))) {
        SafeArrayDestroy(m_psa);
        m_psa = nullptr;
        throw CError(kNoArray);
    }
    if (count != 0) std::memcpy(data, bytes, count);
    SafeArrayUnaccessData(m_psa);
}

CByteArray::~CByteArray() {
    if (m_psa != nullptr) SafeArrayDestroy(m_psa);
}

void CVariant::Clear() {
    const HRESULT hr = VariantClear(&m_v);
    if (FAILED(hr)) throw _com_error(hr);
}

CByteBlockArg::CByteBlockArg(const CByteArray& array) {
    // The original only borrows the array; the copy owns its own.
    VARIANT original;
    VariantInit(&original);
    original.vt = VT_ARRAY | VT_UI1;
    original.parray = array.get();
    const HRESULT hr = VariantCopy(&m_copy.get(), &original);
    if (FAILED(hr)) throw _com_error(hr);
}

}  // namespace serverlink
