// A client that uses serverlink.h the ways COM client code does: __uuidof,
// IID_PPV_ARGS, WRL's ComPtr here and _com_ptr_t in the other unit. Needs the
// DLL's class registered. Prints "all checks passed" and exits 0 on success.
#include <wrl/client.h>

#include <cstdio>

#include "client_other.h"

using Microsoft::WRL::ComPtr;

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        ++g_failures;
        std::printf("FAILED: %s\n", what);
    }
}

#define CHECK(cond) Check((cond), #cond)

}  // namespace

int main() {
    // One definition of each id for the whole program.
    CHECK(&IID_IServerLink == OtherUnitIid());
    CHECK(&CLSID_ServerLink == OtherUnitClsid());

    IID iid = {};
    CLSID clsid = {};
    CHECK(IIDFromString(const_cast<LPOLESTR>(L"{1102EC7D-46B9-4822-AABE-4571F88400E8}"), &iid) == S_OK);
    CHECK(CLSIDFromString(const_cast<LPOLESTR>(L"{E33E6614-4B84-4956-A45C-AA9FDCBC2233}"), &clsid) == S_OK);
    CHECK(IsEqualIID(IID_IServerLink, iid));
    CHECK(IsEqualCLSID(CLSID_ServerLink, clsid));
    CHECK(IsEqualIID(__uuidof(IServerLink), iid));
    CHECK(IsEqualIID(__uuidof(IServerLink*), iid));
    CHECK(IsEqualCLSID(__uuidof(ServerLink), clsid));

    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        std::printf("FAILED: CoInitializeEx\n");
        return 1;
    }
    {
        ComPtr<IServerLink> link;
        HRESULT hr = CoCreateInstance(__uuidof(ServerLink), nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link));
        std::printf("CoCreateInstance into ComPtr: 0x%08lX\n", static_cast<unsigned long>(hr));
        CHECK(hr == S_OK && link);

        if (link) {
            ComPtr<IUnknown> unknown;
            CHECK(link.As(&unknown) == S_OK && unknown);
            ComPtr<IServerLink> again;
            CHECK(unknown.As(&again) == S_OK && again.Get() == link.Get());
            CHECK(QueryThroughComPtrT(unknown.Get()) == S_OK);
        }

        IServerLink* raw = nullptr;
        hr = CoCreateInstance(CLSID_ServerLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&raw));
        CHECK(hr == S_OK && raw != nullptr);
        if (raw) raw->Release();

        hr = CreateThroughComPtrT();
        std::printf("_com_ptr_t CreateInstance: 0x%08lX\n", static_cast<unsigned long>(hr));
        CHECK(hr == S_OK);
    }
    CoUninitialize();

    if (g_failures) {
        std::printf("client header: %d checks failed\n", g_failures);
        return 1;
    }
    std::printf("client header: all checks passed\n");
    return 0;
}
