#include "owner_apartment.h"

#include <objbase.h>

#include <new>
#include <utility>

#include "../common/crit_sec.h"
#include "../common/handle.h"
#include "../common/module_lock.h"

namespace serverlink {

namespace {

constexpr UINT kReleaseMessage = WM_APP + 1;
const wchar_t kWindowClass[] = L"serverlink.owner";

HINSTANCE ModuleInstance() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleInstance), &module);
    return module;
}

}  // namespace

// The agent of one owner thread's apartment. Everything but its thread-bound
// parts (the window, the spy registration) is guarded by the registry lock.
// Live: in the registry, its window and spy registered with the owner thread,
// and one module lock held for them, since they are code of this image that the
// thread may call at any time. Ending: the apartment is ending and its proxies
// are gone; the spy has one call left to make. Ended: out of the registry,
// nothing registered, no module lock; freed by whoever leaves it without slots.
class COwnerApartment {
public:
    using Parcel = COwnerSlot::Parcel;

    // Registry lock held, on the calling thread (the owner): its live agent,
    // made on first use; null if it cannot be made or its apartment is ending.
    static COwnerApartment* ForThisThread();
    // Registry lock held.
    void Add(COwnerSlot& slot);
    // Any thread, registry lock not held.
    void Leave(COwnerSlot& slot);
    // On the owner thread, inside the spy's callbacks.
    static void OnApartmentEnding();
    static void OnApartmentEnded();
    static void ForgetEnded();

private:
    enum class State { Live, Ending, Ended };

    static COwnerApartment* Find(DWORD threadId);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);
    void OnReleaseMessage();
    // Registry lock held, on the owner thread or once it has gone: nothing of
    // the image stays registered with it, and the agent leaves the registry.
    // The caller then gives the module lock back as its very last step.
    void Retire();
    // Registry lock held: the one release message on its way, unless one is.
    void Post();
    // Registry lock held, its thread gone: what waits for it is left.
    void Abandon() {
        Drop(std::exchange(m_pPending, nullptr), false);
        Retire();
    }
    bool ThreadGone() const { return WaitForSingleObject(m_thread.Get(), 0) == WAIT_OBJECT_0; }
    bool Idle() const { return m_pSlots == nullptr && m_pPending == nullptr; }
    // Frees the parcels; their proxies are released (in their apartment) or left.
    static void Drop(Parcel* list, bool release);
    // Registry lock held: the slot's proxy, in its parcel, onto `list`.
    static void Pack(COwnerSlot& slot, Parcel*& list) {
        Parcel* parcel = slot.m_parcel.release();
        parcel->proxy.Attach(slot.m_proxy.Detach());
        parcel->next = list;
        list = parcel;
    }

    DWORD m_threadId = 0;
    CHandle m_thread;  // keeps the owner's thread id from being reused
    HWND m_hwnd = nullptr;
    ULARGE_INTEGER m_spyCookie{};
    bool m_bSpy = false;
    State m_state = State::Live;
    bool m_bPosted = false;  // a release message is on its way to the window
    COwnerSlot* m_pSlots = nullptr;
    Parcel* m_pPending = nullptr;  // to release on the owner thread
    COwnerApartment* m_pNextAgent = nullptr;
};

namespace {

// Told on an owner thread when its apartment ends. One object for every owner
// thread, never freed, since COM may still call it after a revoke.
class COwnerSpy final : public IInitializeSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        const bool mine = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IInitializeSpy);
        *ppv = mine ? static_cast<IInitializeSpy*>(this) : nullptr;
        return mine ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE PreInitialize(DWORD, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PostInitialize(HRESULT hr, DWORD, DWORD) override { return hr; }
    HRESULT STDMETHODCALLTYPE PreUninitialize(DWORD apartmentRefs) override {
        if (apartmentRefs == 1) COwnerApartment::OnApartmentEnding();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PostUninitialize(DWORD apartmentRefs) override {
        if (apartmentRefs == 0) COwnerApartment::OnApartmentEnded();
        return S_OK;
    }
};

COwnerSpy g_spy;

// Destroyed with the module's other statics: by then no agent is left.
struct Registry {
    CCritSec lock;
    COwnerApartment* agents = nullptr;  // live and ending ones
    LONG classUsers = 0;                // agents, each counting on the window class until retired
} g_registry;

}  // namespace

COwnerApartment* COwnerApartment::Find(DWORD threadId) {
    for (COwnerApartment* agent = g_registry.agents; agent != nullptr; agent = agent->m_pNextAgent)
        if (agent->m_threadId == threadId) return agent;
    return nullptr;
}

COwnerApartment* COwnerApartment::ForThisThread() {
    if (COwnerApartment* agent = Find(GetCurrentThreadId())) return agent->m_state == State::Live ? agent : nullptr;
    COwnerApartment* agent = new (std::nothrow) COwnerApartment();
    if (agent == nullptr) return nullptr;
    agent->m_threadId = GetCurrentThreadId();
    ModuleAddRef();
    if (g_registry.classUsers++ == 0) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = &COwnerApartment::WindowProc;
        wc.hInstance = ModuleInstance();
        wc.lpszClassName = kWindowClass;
        RegisterClassExW(&wc);
    }
    HANDLE thread = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE, 0))
        agent->m_thread.Reset(thread);
    if (agent->m_thread)
        agent->m_hwnd = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ModuleInstance(),
                                        nullptr);
    if (agent->m_hwnd != nullptr) {
        SetWindowLongPtrW(agent->m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(agent));
        agent->m_bSpy = CoRegisterInitializeSpy(&g_spy, &agent->m_spyCookie) == S_OK;
    }
    if (!agent->m_bSpy) {
        agent->Retire();
        delete agent;
        ModuleRelease();  // the caller, a link, still holds the module
        return nullptr;
    }
    agent->m_pNextAgent = g_registry.agents;
    g_registry.agents = agent;
    return agent;
}

void COwnerApartment::Retire() {
    // Both belong to the owner thread; once it has ended they went with it.
    if (GetCurrentThreadId() == m_threadId) {
        if (m_bSpy) CoRevokeInitializeSpy(m_spyCookie);
        if (m_hwnd != nullptr) DestroyWindow(m_hwnd);
    }
    m_bSpy = false;
    m_hwnd = nullptr;
    // Only once no window of the class is left: a later load of the module at
    // another address must not find a class pointing at this one's code.
    if (--g_registry.classUsers == 0) UnregisterClassW(kWindowClass, ModuleInstance());
    for (COwnerApartment** p = &g_registry.agents; *p != nullptr; p = &(*p)->m_pNextAgent) {
        if (*p == this) {
            *p = m_pNextAgent;
            break;
        }
    }
    m_state = State::Ended;
}

void COwnerApartment::Post() {
    if (m_bPosted || m_state != State::Live) return;
    // A post that fails while the owner lives (a full queue) is tried again by
    // the next hand-back, or by DllCanUnloadNow.
    m_bPosted = PostMessageW(m_hwnd, kReleaseMessage, 0, 0) != FALSE;
}

void COwnerApartment::Drop(Parcel* list, bool release) {
    while (list != nullptr) {
        Parcel* next = list->next;
        if (!release) list->proxy.Detach();
        delete list;
        list = next;
    }
}

void COwnerApartment::Add(COwnerSlot& slot) {
    slot.m_pNext = m_pSlots;
    if (m_pSlots != nullptr) m_pSlots->m_pPrev = &slot;
    m_pSlots = &slot;
}

void COwnerApartment::Leave(COwnerSlot& slot) {
    const bool onOwner = GetCurrentThreadId() == m_threadId;
    IUnknownPtr now;
    bool retired = false, free = false;
    {
        CAutoLock lock(g_registry.lock);
        (slot.m_pPrev != nullptr ? slot.m_pPrev->m_pNext : m_pSlots) = slot.m_pNext;
        if (slot.m_pNext != nullptr) slot.m_pNext->m_pPrev = slot.m_pPrev;
        if (m_state != State::Ended && !onOwner && ThreadGone()) {
            // The owner thread ended without leaving COM: its window and spy
            // went with it, and its proxies can be released nowhere.
            Abandon();
            retired = true;
        }
        // Handed on as it is: an AddRef or Release here, off the owner thread,
        // would already be a use outside its apartment.
        if (onOwner) {
            now.Attach(slot.m_proxy.Detach());
        } else if (m_state == State::Ended) {
            slot.m_proxy.Detach();
        } else if (slot.m_proxy) {
            Pack(slot, m_pPending);
            Post();
        }
        if (onOwner && m_state == State::Live && Idle()) {
            Retire();
            retired = true;
        }
        // Else a live agent waits for its owner thread: the message, or the
        // apartment's end.
        free = m_state == State::Ended && Idle();
    }
    now = nullptr;  // released outside the lock: a call to the server
    if (free) delete this;
    if (retired) ModuleRelease();  // last, after the call to the server
}

void COwnerApartment::OnReleaseMessage() {
    Parcel* taken = nullptr;
    bool retired = false;
    {
        CAutoLock lock(g_registry.lock);
        m_bPosted = false;
        if (m_state != State::Live) return;
        taken = std::exchange(m_pPending, nullptr);
        if (Idle()) {
            Retire();
            retired = true;
        }
    }
    // Calls to the server, which pump: from here on only a retired agent, which
    // nothing else can reach, is touched.
    Drop(taken, true);
    if (!retired) return;
    delete this;
    ModuleRelease();  // last: only the return through the window procedure is left
}

LRESULT CALLBACK COwnerApartment::WindowProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    if (message == kReleaseMessage) {
        // The agent outlives its window, which only its own thread destroys.
        if (auto* agent = reinterpret_cast<COwnerApartment*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)))
            agent->OnReleaseMessage();
        return 0;
    }
    return DefWindowProcW(hwnd, message, wp, lp);
}

void COwnerApartment::OnApartmentEnding() {
    Parcel* taken = nullptr;
    {
        CAutoLock lock(g_registry.lock);
        COwnerApartment* agent = Find(GetCurrentThreadId());
        if (agent == nullptr || agent->m_state != State::Live) return;
        agent->m_state = State::Ending;
        taken = std::exchange(agent->m_pPending, nullptr);
        // The links lose their owner thread: from now on they call as any other.
        for (COwnerSlot* slot = agent->m_pSlots; slot != nullptr; slot = slot->m_pNext)
            if (slot->m_proxy) Pack(*slot, taken);
    }
    // Still inside the apartment: the last moment these proxies can go right.
    Drop(taken, true);
}

void COwnerApartment::OnApartmentEnded() {
    COwnerApartment* agent = nullptr;
    bool free = false;
    {
        CAutoLock lock(g_registry.lock);
        agent = Find(GetCurrentThreadId());
        if (agent == nullptr || agent->m_state != State::Ending) return;
        agent->Retire();
        free = agent->Idle();
    }
    if (free) delete agent;
    // Given back last: this is still code of the image, and on Windows a spy
    // revoked inside its own callback stays registered until the outermost
    // CoUninitialize returns.
    ModuleRelease();
}

void COwnerApartment::ForgetEnded() {
    LONG retired = 0;
    {
        CAutoLock lock(g_registry.lock);
        COwnerApartment* next = nullptr;
        for (COwnerApartment* agent = g_registry.agents; agent != nullptr; agent = next) {
            next = agent->m_pNextAgent;
            if (!agent->ThreadGone()) {
                if (agent->m_pPending != nullptr) agent->Post();
                continue;
            }
            agent->Abandon();
            ++retired;
            if (agent->Idle()) delete agent;
        }
    }
    while (retired-- > 0) ModuleRelease();
}

bool COwnerSlot::Enter(IUnknown* proxy) {
    IUnknownPtr owned(proxy, false);  // released here, in its own apartment, if it cannot stay
    // Everything that entering needs is made before anything is registered.
    m_parcel.reset(new (std::nothrow) Parcel());
    if (!m_parcel) return false;
    CAutoLock lock(g_registry.lock);
    COwnerApartment* agent = COwnerApartment::ForThisThread();
    if (agent == nullptr) return false;
    agent->Add(*this);
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
