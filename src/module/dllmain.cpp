#include <winsock2.h>
#include <windows.h>
#include <objbase.h>

#include <new>

#include "../common/module_lock.h"
#include "../link/mta.h"
#include "../link/owner_apartment.h"
#include "../shm/channel_hub.h"
#include "factory.h"
#include "winsock_init.h"

namespace serverlink {

CWinsockInit::CWinsockInit() {
    WSADATA data;
    WSAStartup(MAKEWORD(1, 1), &data);  // a failure only means inet_addr may fail later
}

CWinsockInit::~CWinsockInit() { WSACleanup(); }

namespace {
CWinsockInit g_winsock;
}

}  // namespace serverlink

using namespace serverlink;

// Static objects are built and destroyed by the runtime around this. The hub is
// not one of them: at process exit (reserved non-null) the other threads are
// already gone, perhaps in the middle of changing it or holding the heap lock,
// so it is left alone; only an unload by FreeLibrary tears it down. The receive
// thread holds the module while it runs, so by then it has ended.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        CChannelHub::Shutdown();
        ShutdownMta();
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    // Proxies waiting for an owner thread that ended without leaving COM can be
    // released nowhere; they no longer keep the module. No server is called here.
    ForgetEndedOwners();
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    CServerLinkFactory* factory = new (std::nothrow) CServerLinkFactory();
    if (factory == nullptr) return E_OUTOFMEMORY;
    // The class id is not looked at: this module serves one class.
    factory->AddRef();
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

// Registration is made outside the module (see the generated .reg file).
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() { return E_FAIL; }
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() { return DllRegisterServer(); }
