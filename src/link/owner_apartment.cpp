#include "owner_apartment.h"

#include <objbase.h>

#include <algorithm>
#include <list>
#include <vector>

#include "../common/crit_sec.h"
#include "../common/handle.h"
#include "../common/module_lock.h"

namespace serverlink {

namespace {

constexpr UINT kReleaseMessage = WM_APP + 1;
const wchar_t kWindowClass[] = L"serverlink.owner";

HINSTANCE ModuleInstance();

// Told on the owner thread when its apartment is about to end. One object for
// every owner thread, registered on each and never freed, so that a callback
// can never reach freed memory.
class COwnerSpy final : public IInitializeSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IInitializeSpy)) {
            *ppv = static_cast<IInitializeSpy*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE PreInitialize(DWORD, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PostInitialize(HRESULT hr, DWORD, DWORD) override { return hr; }
    HRESULT STDMETHODCALLTYPE PreUninitialize(DWORD apartmentRefs) override;
    HRESULT STDMETHODCALLTYPE PostUninitialize(DWORD) override { return S_OK; }
};

COwnerSpy g_spy;

}  // namespace

// The agent of one owner thread's apartment. Everything but its thread-bound
// parts (the window, the spy registration) is guarded by the registry lock.
class COwnerApartment {
public:
    // Registry lock held, on the calling thread (the owner): its live agent,
    // made on first use; null if it cannot be made.
    static COwnerApartment* ForThisThread();
    // The owner thread's apartment is about to end (on that thread).
    static void OnApartmentEnding();
    static void ForgetEnded();
    // Registry lock held.
    bool Add(COwnerSlot& slot);
    // Any thread, registry lock not held.
    void Leave(COwnerSlot& slot);

private:
    COwnerApartment() = default;
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);
    void OnReleaseMessage();

    // The proxies this agent releases on its owner thread. A list: _com_ptr_t
    // cannot move, and a growing vector would copy them (an AddRef and a
    // Release each) on whatever thread posts.
    using Proxies = std::list<IUnknownPtr>;

    // Registry lock held. Takes over the caller's reference to `proxy`.
    void Post(IUnknown* proxy);
    Proxies TakePending();
    // Out of the registry: no new link joins it; it is freed once idle.
    void MarkEnded();
    // On the owner thread (or once its thread is gone): the window and the spy
    // registration go.
    void DropThreadParts();
    bool Idle() const { return m_slots.empty() && m_pending.empty(); }

    DWORD m_threadId = 0;
    CHandle m_thread;            // keeps the owner's thread id from being reused
    HWND m_hwnd = nullptr;
    bool m_bWindow = false;      // counted in the registry's window users
    ULARGE_INTEGER m_spyCookie{};
    bool m_bSpy = false;
    std::vector<COwnerSlot*> m_slots;
    Proxies m_pending;  // to release on the owner thread; a module lock while not empty
    bool m_bEnded = false;             // the apartment (or its thread) has ended, or the agent is going
};

namespace {

struct Registry {
    CCritSec lock;
    std::vector<COwnerApartment*> agents;  // live ones; an ended agent is out of it
    LONG windowUsers = 0;                  // agents whose window may exist
};

// Made on first use, never destroyed: at process exit it is left to the platform.
Registry& TheRegistry() {
    static Registry* const registry = new Registry();
    return *registry;
}

HRESULT STDMETHODCALLTYPE COwnerSpy::PreUninitialize(DWORD apartmentRefs) {
    if (apartmentRefs == 1) COwnerApartment::OnApartmentEnding();
    return S_OK;
}

HINSTANCE ModuleInstance() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleInstance), &module);
    return module;
}

}  // namespace

COwnerApartment* COwnerApartment::ForThisThread() {
    Registry& registry = TheRegistry();
    const DWORD self = GetCurrentThreadId();
    for (COwnerApartment* agent : registry.agents)
        if (agent->m_threadId == self) return agent;

    COwnerApartment* agent = new (std::nothrow) COwnerApartment();
    if (agent == nullptr) return nullptr;
    agent->m_threadId = self;
    if (registry.windowUsers++ == 0) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = &COwnerApartment::WindowProc;
        wc.hInstance = ModuleInstance();
        wc.lpszClassName = kWindowClass;
        RegisterClassExW(&wc);
    }
    agent->m_bWindow = true;
    HANDLE thread = nullptr;
    bool ok = DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, SYNCHRONIZE,
                              FALSE, 0) != FALSE;
    if (ok) agent->m_thread.Reset(thread);
    if (ok) {
        agent->m_hwnd = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        ModuleInstance(), nullptr);
        ok = agent->m_hwnd != nullptr;
    }
    if (ok) {
        SetWindowLongPtrW(agent->m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(agent));
        agent->m_bSpy = CoRegisterInitializeSpy(&g_spy, &agent->m_spyCookie) == S_OK;
        ok = agent->m_bSpy;
    }
    if (ok) {
        try {
            registry.agents.push_back(agent);
            return agent;
        } catch (const std::bad_alloc&) {
            // No room in the registry: the link goes without an owner thread.
        }
    }
    agent->DropThreadParts();
    delete agent;
    return nullptr;
}

void COwnerApartment::DropThreadParts() {
    // Both belong to the owner thread; once it has ended they went with it.
    if (GetCurrentThreadId() == m_threadId) {
        if (m_bSpy) CoRevokeInitializeSpy(m_spyCookie);
        if (m_hwnd != nullptr) DestroyWindow(m_hwnd);
    }
    m_bSpy = false;
    m_hwnd = nullptr;
    if (m_bWindow) {
        m_bWindow = false;
        Registry& registry = TheRegistry();
        CAutoLock lock(registry.lock);
        // Only once no window of the class is left: a later load of the module
        // at another address must not find a class pointing at this one's code.
        if (--registry.windowUsers == 0) UnregisterClassW(kWindowClass, ModuleInstance());
    }
}

bool COwnerApartment::Add(COwnerSlot& slot) {
    try {
        m_slots.push_back(&slot);
        return true;
    } catch (const std::bad_alloc&) {
        return false;  // no room: the link goes without an owner thread
    }
}

void COwnerApartment::Post(IUnknown* proxy) {
    try {
        m_pending.emplace_back(proxy, false);
    } catch (const std::bad_alloc&) {
        return;  // no room: the proxy is left, never released outside its apartment
    }
    // One message drains everything pending: post only for the first.
    if (m_pending.size() > 1) return;
    ModuleAddRef();  // the window procedure must still be here when the message comes
    if (PostMessageW(m_hwnd, kReleaseMessage, 0, 0)) return;
    if (WaitForSingleObject(m_thread.Get(), 0) == WAIT_OBJECT_0) {
        // The window went with its thread, which ended without leaving COM: the
        // proxy can be released nowhere, and is left as COM leaves that apartment.
        for (IUnknownPtr& p : TakePending()) p.Detach();
        MarkEnded();
        DropThreadParts();
    }
    // Else (a full message queue) it waits for the next message or the
    // apartment's end.
}

COwnerApartment::Proxies COwnerApartment::TakePending() {
    Proxies taken;
    taken.swap(m_pending);
    if (!taken.empty()) ModuleRelease();
    return taken;
}

void COwnerApartment::MarkEnded() {
    if (m_bEnded) return;
    m_bEnded = true;
    Registry& registry = TheRegistry();
    registry.agents.erase(std::remove(registry.agents.begin(), registry.agents.end(), this), registry.agents.end());
}

void COwnerApartment::Leave(COwnerSlot& slot) {
    const bool onOwner = GetCurrentThreadId() == m_threadId;
    IUnknownPtr now;
    bool tearDown = false, free = false;
    {
        CAutoLock lock(TheRegistry().lock);
        m_slots.erase(std::remove(m_slots.begin(), m_slots.end(), &slot), m_slots.end());
        // Handed on as it is: an AddRef or Release here, off the owner thread,
        // would already be a use outside its apartment.
        if (IUnknown* proxy = slot.m_proxy.Detach()) {
            if (onOwner)
                now.Attach(proxy);
            else
                Post(proxy);
        }
        if (Idle()) {
            if (m_bEnded) {
                free = true;
            } else if (onOwner) {
                MarkEnded();
                tearDown = true;
            }
            // Else the agent waits for its owner thread: the next release there,
            // or the apartment's end.
        }
    }
    now = nullptr;  // released outside the lock: a call to the server
    if (tearDown) DropThreadParts();
    if (tearDown || free) delete this;
}

void COwnerApartment::OnReleaseMessage() {
    Proxies taken;
    bool tearDown = false;
    {
        CAutoLock lock(TheRegistry().lock);
        taken = TakePending();
        if (Idle() && !m_bEnded) {
            MarkEnded();
            tearDown = true;
        }
    }
    taken.clear();  // released outside the lock: calls to the server
    if (tearDown) {
        DropThreadParts();
        delete this;
    }
}

LRESULT CALLBACK COwnerApartment::WindowProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    if (message == kReleaseMessage) {
        auto* agent = reinterpret_cast<COwnerApartment*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (agent != nullptr) agent->OnReleaseMessage();
        return 0;
    }
    return DefWindowProcW(hwnd, message, wp, lp);
}

void COwnerApartment::OnApartmentEnding() {
    COwnerApartment* agent = nullptr;
    Proxies taken;
    bool free = false;
    {
        Registry& registry = TheRegistry();
        CAutoLock lock(registry.lock);
        const DWORD self = GetCurrentThreadId();
        for (COwnerApartment* a : registry.agents)
            if (a->m_threadId == self) agent = a;
        if (agent == nullptr) return;
        taken = agent->TakePending();
        // The links lose their owner thread: from now on they call as any other.
        for (COwnerSlot* slot : agent->m_slots) {
            if (!slot->m_proxy) continue;
            try {
                taken.emplace_back();
                taken.back().Attach(slot->m_proxy.Detach());
            } catch (const std::bad_alloc&) {
                // No room to take it out: it goes here, on the owner thread
                // and in its apartment, only under the lock.
                slot->m_proxy = nullptr;
            }
        }
        agent->MarkEnded();
        // Links that still hold a slot free the agent when the last of them goes.
        agent->DropThreadParts();
        free = agent->m_slots.empty();
    }
    // Still inside the apartment: the last moment these proxies can go right.
    taken.clear();
    if (free) delete agent;
}

void COwnerApartment::ForgetEnded() {
    Registry& registry = TheRegistry();
    std::vector<COwnerApartment*> idle;
    {
        CAutoLock lock(registry.lock);
        std::vector<COwnerApartment*> gone;
        for (COwnerApartment* agent : registry.agents)
            if (WaitForSingleObject(agent->m_thread.Get(), 0) == WAIT_OBJECT_0) gone.push_back(agent);
        for (COwnerApartment* agent : gone) {
            // The thread ended without leaving COM: its window and spy went with
            // it, and its proxies can be released nowhere.
            for (IUnknownPtr& p : agent->TakePending()) p.Detach();
            agent->MarkEnded();
            agent->DropThreadParts();
            if (agent->m_slots.empty()) idle.push_back(agent);
        }
    }
    for (COwnerApartment* agent : idle) delete agent;
}

bool COwnerSlot::Enter(IUnknown* proxy) {
    IUnknownPtr owned(proxy, false);
    CAutoLock lock(TheRegistry().lock);
    COwnerApartment* agent = COwnerApartment::ForThisThread();
    if (agent == nullptr || !agent->Add(*this)) return false;  // `owned` goes here, in its own apartment
    m_proxy.Attach(owned.Detach());
    m_pApartment = agent;
    m_ownerThreadId = GetCurrentThreadId();
    return true;
}

void COwnerSlot::Leave() {
    if (m_pApartment == nullptr) return;
    COwnerApartment* agent = m_pApartment;
    m_pApartment = nullptr;
    agent->Leave(*this);
}

void ForgetEndedOwners() { COwnerApartment::ForgetEnded(); }

}  // namespace serverlink
