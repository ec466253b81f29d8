#include "strict_com.h"

#include <gtest/gtest.h>
#include <ole2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "test_support.h"

namespace testing_support {

namespace {

// An STA is told apart by its thread, as is a thread outside COM; the MTA
// (implicit or not) is one.
struct Apartment {
    int type;  // an APTTYPE, or -1 outside COM
    DWORD thread;
    bool operator!=(const Apartment& o) const { return type != o.type || thread != o.thread; }
};

Apartment Current() {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    const int t = FAILED(CoGetApartmentType(&type, &qualifier)) ? -1 : type == APTTYPE_MAINSTA ? APTTYPE_STA : type;
    return {t, t == APTTYPE_STA || t == -1 ? GetCurrentThreadId() : 0};
}

std::string Describe(const Apartment& a) {
    const std::string thread = std::to_string(a.thread);
    return a.type == -1            ? "no apartment (thread " + thread + ")"
           : a.type == APTTYPE_STA ? "the STA of thread " + thread
           : a.type == APTTYPE_MTA ? "the MTA"
                                   : "apartment type " + std::to_string(a.type);
}

std::mutex g_lock;
std::vector<std::string> g_violations;  // guarded by g_lock
volatile LONG g_expecting = 0;          // live ExpectStrictViolations scopes

void Violation(const std::string& text) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_violations.push_back(text);
    }
    if (g_expecting > 0) return;
    // ctest judges by gtest's printed verdict, which a failure outside any test
    // would not change.
    if (::testing::UnitTest::GetInstance()->current_test_info() == nullptr) {
        std::printf("[  FAILED  ] strict COM, outside any test: %s\n", text.c_str());
        std::fflush(stdout);
    }
    ADD_FAILURE() << "strict COM: " << text;
}

// What COM itself asks of an object it marshals or tunes. The layer hands COM
// the bare proxy, so a wrapper asked for these slipped past it.
#define STRICT_IID(name) \
    { &IID_##name, #name }
const struct {
    const IID* iid;
    const char* name;
} kPlumbing[] = {STRICT_IID(IMarshal),        STRICT_IID(IMarshal2),   STRICT_IID(IStdMarshalInfo),
                 STRICT_IID(IAgileObject),    STRICT_IID(INoMarshal),  STRICT_IID(IExternalConnection),
                 STRICT_IID(IClientSecurity), STRICT_IID(IRpcOptions), STRICT_IID(IMultiQI)};

bool IsServerIid(REFIID riid) {
    return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_ILocalServer);
}

#define STRICT_FORWARD(name, params, args)           \
    HRESULT STDMETHODCALLTYPE name params override { \
        Check(#name);                                \
        return m_server->name args;                  \
    }

class StrictProxy final : public ILocalServer {
public:
    // Takes over one reference to `server`, bound to the calling thread's apartment.
    explicit StrictProxy(ILocalServer* server) : m_server(server), m_home(Current()) {
        s_vtable = *reinterpret_cast<void* const*>(this);
    }

    static StrictProxy* From(IUnknown* p) {
        return p != nullptr && s_vtable != nullptr && *reinterpret_cast<void* const*>(p) == s_vtable
                   ? static_cast<StrictProxy*>(p)
                   : nullptr;
    }

    void Check(const char* op) {
        const Apartment now = Current();
        if (now != m_home)
            Violation(std::string(op) + ": obtained in " + Describe(m_home) + ", used in " + Describe(now));
    }

    ILocalServer* Inner() { return m_server; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        Check("QueryInterface");
        if (IsServerIid(riid)) {
            InterlockedIncrement(&m_refs);
            *ppv = static_cast<ILocalServer*>(this);
            return S_OK;
        }
        for (const auto& p : kPlumbing) {
            if (IsEqualIID(riid, *p.iid)) {
                Violation(std::string("QueryInterface(") + p.name +
                          "): a wrapped proxy reached COM without the strict layer");
                return E_NOINTERFACE;
            }
        }
        return m_server->QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        Check("AddRef");
        return static_cast<ULONG>(InterlockedIncrement(&m_refs));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        Check("Release");
        const LONG n = InterlockedDecrement(&m_refs);
        if (n == 0) {
            m_server->Release();
            delete this;
        }
        return static_cast<ULONG>(n);
    }

    // Slot order of the interface, each call forwarded once its apartment is checked.
    STRICT_FORWARD(GetTypeInfoCount, (UINT * a), (a))
    STRICT_FORWARD(GetTypeInfo, (UINT a, LCID b, ITypeInfo** c), (a, b, c))
    STRICT_FORWARD(GetIDsOfNames, (REFIID a, LPOLESTR* b, UINT c, LCID d, DISPID* e), (a, b, c, d, e))
    STRICT_FORWARD(Invoke, (DISPID a, REFIID b, LCID c, WORD d, DISPPARAMS* e, VARIANT* f, EXCEPINFO* g, UINT* h),
                   (a, b, c, d, e, f, g, h))
    STRICT_FORWARD(Disconnect, (LONG * a), (a))
    STRICT_FORWARD(Login, (VARIANT a, LONG* b), (a, b))
    STRICT_FORWARD(Logout, (LONG a, LONG b, unsigned short c, LONG* d), (a, b, c, d))
    STRICT_FORWARD(Request, (LONG a, LONG b, LONG c, LONG d, LONG e, LONG f, LONG* g), (a, b, c, d, e, f, g))
    STRICT_FORWARD(ClosePeer, (LONG a, LONG b, LONG* c), (a, b, c))
    STRICT_FORWARD(Reserved12, (), ())
    STRICT_FORWARD(QueryA, (LONG a, LONG* b), (a, b))
    STRICT_FORWARD(QueryB, (LONG a, LONG* b), (a, b))
    STRICT_FORWARD(NegotiateChannel, (LONG a, LONG* b, LONG* c), (a, b, c))
    STRICT_FORWARD(PostBlock, (LONG a, LONG b, VARIANT c), (a, b, c))
    STRICT_FORWARD(Reserved17, (), ())
    STRICT_FORWARD(ModeRequest, (LONG a, LONG b, unsigned char c, LONG* d), (a, b, c, d))
    STRICT_FORWARD(PairRequest, (LONG a, LONG b, LONG c, LONG* d), (a, b, c, d))
    STRICT_FORWARD(PostValueList, (LONG a, unsigned char b, VARIANT c, LONG d, LONG* e), (a, b, c, d, e))
    STRICT_FORWARD(ModePairRequest, (LONG a, unsigned char b, LONG c, LONG d, LONG* e), (a, b, c, d, e))
    STRICT_FORWARD(ModeValueRequestA, (LONG a, unsigned char b, LONG c, LONG* d), (a, b, c, d))
    STRICT_FORWARD(ModeValueRequestB, (LONG a, unsigned char b, LONG c, LONG* d), (a, b, c, d))
    STRICT_FORWARD(ModeQuery, (LONG a, unsigned char b, LONG* c), (a, b, c))

private:
    ~StrictProxy() = default;

    static void* volatile s_vtable;
    volatile LONG m_refs = 1;
    ILocalServer* const m_server;
    const Apartment m_home;
};

void* volatile StrictProxy::s_vtable = nullptr;

// Replaces a fresh LocalServer proxy in *ppv (asked for as riid) by its wrapper.
// Other objects and interfaces pass unwrapped.
void Wrap(REFIID riid, void** ppv) {
    IUnknown* const got = static_cast<IUnknown*>(*ppv);
    ILocalServer* server = nullptr;
    if (got == nullptr || !IsServerIid(riid) || FAILED(got->QueryInterface(IID_ILocalServer, (void**)&server))) return;
    got->Release();
    *ppv = static_cast<ILocalServer*>(new StrictProxy(server));
}

// The bare proxy for the real function, once the use is checked.
IUnknown* Unwrap(IUnknown* p, const char* op) {
    StrictProxy* const w = StrictProxy::From(p);
    if (w == nullptr) return p;
    w->Check(op);
    return w->Inner();
}

bool OutOfProcess(DWORD context) { return (context & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) != 0; }

HRESULT WINAPI HookCoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv) {
    const HRESULT hr = CoCreateInstance(clsid, outer, context, riid, ppv);
    if (SUCCEEDED(hr) && OutOfProcess(context)) Wrap(riid, ppv);
    return hr;
}

HRESULT WINAPI HookCoCreateInstanceEx(REFCLSID clsid, IUnknown* outer, DWORD context, COSERVERINFO* info, DWORD n,
                                      MULTI_QI* results) {
    const HRESULT hr = CoCreateInstanceEx(clsid, outer, context, info, n, results);
    for (DWORD i = 0; SUCCEEDED(hr) && OutOfProcess(context) && i < n; ++i)
        if (SUCCEEDED(results[i].hr)) Wrap(*results[i].pIID, reinterpret_cast<void**>(&results[i].pItf));
    return hr;
}

HRESULT WINAPI HookOleRun(IUnknown* object) { return OleRun(Unwrap(object, "OleRun")); }

HRESULT WINAPI HookCoMarshalInterThreadInterfaceInStream(REFIID riid, IUnknown* object, IStream** stream) {
    return CoMarshalInterThreadInterfaceInStream(riid, Unwrap(object, "CoMarshalInterThreadInterfaceInStream"), stream);
}

HRESULT WINAPI HookCoUnmarshalInterface(IStream* stream, REFIID riid, void** ppv) {
    const HRESULT hr = CoUnmarshalInterface(stream, riid, ppv);
    if (SUCCEEDED(hr)) Wrap(riid, ppv);
    return hr;
}

HRESULT WINAPI HookCoGetInterfaceAndReleaseStream(IStream* stream, REFIID riid, void** ppv) {
    const HRESULT hr = CoGetInterfaceAndReleaseStream(stream, riid, ppv);
    if (SUCCEEDED(hr)) Wrap(riid, ppv);
    return hr;
}

// CoReleaseMarshalData takes no interface and so needs no hook: with table
// marshalling refused, a proxy's packet is always a normal one.
const struct {
    const char* name;
    void* fn;
} kHooks[] = {
    {"CoCreateInstance", reinterpret_cast<void*>(&HookCoCreateInstance)},
    {"CoCreateInstanceEx", reinterpret_cast<void*>(&HookCoCreateInstanceEx)},
    {"OleRun", reinterpret_cast<void*>(&HookOleRun)},
    {"CoMarshalInterface", reinterpret_cast<void*>(&StrictCoMarshalInterface)},
    {"CoMarshalInterThreadInterfaceInStream", reinterpret_cast<void*>(&HookCoMarshalInterThreadInterfaceInStream)},
    {"CoUnmarshalInterface", reinterpret_cast<void*>(&HookCoUnmarshalInterface)},
    {"CoGetInterfaceAndReleaseStream", reinterpret_cast<void*>(&HookCoGetInterfaceAndReleaseStream)},
};

// Points the module's ole32 imports named in kHooks at the hooks; returns the
// names hooked.
std::string PatchImports(HMODULE module) {
    BYTE* const base = reinterpret_cast<BYTE*>(module);
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::string hooked;
    if (dir.VirtualAddress == 0) return hooked;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name != 0; ++d) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), "ole32.dll") != 0 || d->OriginalFirstThunk == 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const char* name = reinterpret_cast<const char*>(
                reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name);
            for (const auto& h : kHooks) {
                if (std::strcmp(name, h.name) != 0) continue;
                DWORD old = 0;
                if (!VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &old)) break;
                slots->u1.Function = reinterpret_cast<DWORD_PTR>(h.fn);
                VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), old, &old);
                hooked += hooked.empty() ? name : std::string(" ") + name;
            }
        }
    }
    return hooked;
}

class StrictComEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const char* on = std::getenv("SERVERLINK_STRICT_COM");
        if (on == nullptr || std::strcmp(on, "1") != 0) return;
        std::string error;
        if (!InstallStrictCom(&error)) FAIL() << "strict COM: " << error;
    }
};

}  // namespace

HRESULT WINAPI StrictCoMarshalInterface(IStream* stream, REFIID riid, IUnknown* object, DWORD destContext,
                                        void* destContextData, DWORD flags) {
    StrictProxy* const wrapped = StrictProxy::From(object);
    if (wrapped != nullptr && (flags & (MSHLFLAGS_TABLESTRONG | MSHLFLAGS_TABLEWEAK)) != 0) {
        wrapped->Check("CoMarshalInterface");
        std::printf("strict COM: table marshalling of a proxy (flags %lu) refused with E_INVALIDARG\n", flags);
        std::fflush(stdout);
        return E_INVALIDARG;
    }
    return CoMarshalInterface(stream, riid, Unwrap(object, "CoMarshalInterface"), destContext, destContextData, flags);
}

bool InstallStrictCom(std::string* error) {
    static std::mutex lock;
    static bool installed = false;
    std::lock_guard<std::mutex> hold(lock);
    if (installed) return true;
    std::string why;
    HMODULE dll = LoadLibraryW(BesideExe(L"serverlink.dll").c_str());
    if (dll == nullptr) {
        why = "cannot load serverlink.dll beside the test program (error " + std::to_string(GetLastError()) + ")";
    } else {
        const std::string hooked = PatchImports(dll);
        if (hooked.empty()) {
            why = "serverlink.dll imports none of the COM functions the strict layer hooks";
        } else {
            std::printf("strict COM: hooked %s\n", hooked.c_str());
            installed = true;
        }
    }
    if (error != nullptr) *error = why;
    return installed;
}

size_t StrictViolationCount() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_violations.size();
}

HRESULT StrictCreateLocalServer(ILocalServer** server) {
    return HookCoCreateInstance(CLSID_LocalServer, nullptr, CLSCTX_LOCAL_SERVER, IID_ILocalServer,
                                reinterpret_cast<void**>(server));
}

ExpectStrictViolations::ExpectStrictViolations() : m_start(StrictViolationCount()) {
    InterlockedIncrement(&g_expecting);
}

ExpectStrictViolations::~ExpectStrictViolations() { InterlockedDecrement(&g_expecting); }

size_t ExpectStrictViolations::Count() const { return StrictViolationCount() - m_start; }

std::string ExpectStrictViolations::Text() const {
    std::lock_guard<std::mutex> hold(g_lock);
    std::string text;
    for (size_t i = m_start; i < g_violations.size(); ++i) text += g_violations[i] + "\n";
    return text;
}

}  // namespace testing_support

// Referenced at link time (tests/CMakeLists.txt) so that every test program
// keeps this file, and with it the environment that switches the layer on.
extern "C" int serverlink_strict_com_anchor;
int serverlink_strict_com_anchor = 0;
static ::testing::Environment* const g_strictEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing_support::StrictComEnvironment);
