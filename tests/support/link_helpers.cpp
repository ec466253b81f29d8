#include "link_helpers.h"

#include <cstring>

namespace testing_support {

HRESULT AskCanUnload() {
    auto canUnload = DllExport<HRESULT(STDAPICALLTYPE*)()>("DllCanUnloadNow");
    return canUnload != nullptr ? canUnload() : E_FAIL;
}

namespace {
// Posted to a StaThread: the function to run and the event, the task's own,
// that says it ran.
struct Task {
    std::function<void()> fn;
    HANDLE done;
};
constexpr UINT kRunTask = WM_APP + 7;
}  // namespace

StaThread::StaThread() {
    m_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_thread = CreateThread(nullptr, 0, &StaThread::Main, this, 0, &m_id);
    if (m_thread != nullptr) WaitForSingleObject(m_ready, INFINITE);
}

StaThread::~StaThread() {
    if (m_thread != nullptr) {
        PostThreadMessageW(m_id, WM_QUIT, 0, 0);
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
    }
    CloseHandle(m_ready);
}

DWORD WINAPI StaThread::Main(void* p) {
    StaThread* self = static_cast<StaThread*>(p);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(self->m_ready);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd == nullptr && msg.message == kRunTask) {
            Task* task = reinterpret_cast<Task*>(msg.lParam);
            task->fn();
            SetEvent(task->done);
            CloseHandle(task->done);
            delete task;
            continue;
        }
        DispatchMessageW(&msg);
    }
    CoUninitialize();
    return 0;
}

HANDLE StaThread::Start(std::function<void()> fn) {
    Task* task = new Task{std::move(fn), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE mine = nullptr;
    if (task->done == nullptr ||
        !DuplicateHandle(GetCurrentProcess(), task->done, GetCurrentProcess(), &mine, 0, FALSE, DUPLICATE_SAME_ACCESS) ||
        !PostThreadMessageW(m_id, kRunTask, 0, reinterpret_cast<LPARAM>(task))) {
        if (mine != nullptr) CloseHandle(mine);
        if (task->done != nullptr) CloseHandle(task->done);
        delete task;
        return nullptr;
    }
    return mine;
}

bool StaThread::Run(std::function<void()> fn, DWORD limitMs) {
    HANDLE done = Start(std::move(fn));
    if (done == nullptr) return false;
    const bool ran = WaitFor([&] { return WaitForSingleObject(done, 0) == WAIT_OBJECT_0; }, limitMs);
    CloseHandle(done);
    return ran;
}

SignOnRecord MakeRecord(ULONG clientId, IEventSink* sink) {
    SignOnRecord r;
    std::memset(&r, 0, sizeof(r));
    r.version = 2;
    r.clientId = clientId;
    r.eventSink = sink;
    return r;
}

HRESULT RecordingSink::OnEvent(ULONG id, LONG code, LONG_PTR param, LONG extra) {
    Call c;
    c.id = id;
    c.code = code;
    c.param = param;
    c.extra = extra;
    c.thread = GetCurrentThreadId();
    if ((code == 8 || code == 9) && extra > 0 && extra <= 1280) {
        const BYTE* p = reinterpret_cast<const BYTE*>(param);
        c.bytes.assign(p, p + extra);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(c);
    }
    if (onEvent) onEvent(c);
    return S_OK;
}

HRESULT RecordingSink::OnData(ULONG id, const BYTE* data, ULONG length, LONG extra) {
    Call c;
    c.data = true;
    c.id = id;
    c.extra = extra;
    c.thread = GetCurrentThreadId();
    c.bytes.assign(data, data + length);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(c);
    }
    if (onData) onData(c);
    return S_OK;
}

std::vector<RecordingSink::Call> RecordingSink::Calls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

size_t RecordingSink::Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls.size();
}

size_t RecordingSink::CountCode(LONG code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const Call& c : m_calls)
        if (!c.data && c.code == code) ++n;
    return n;
}

bool RecordingSink::WaitCount(size_t n, DWORD limitMs) {
    return WaitFor([&] { return Count() >= n; }, limitMs);
}

}  // namespace testing_support
