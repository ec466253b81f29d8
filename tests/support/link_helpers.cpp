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

void SetSink(TestRecord& rec, IEventSink* sink) {
    rec.sink = sink;
#ifndef _WIN64
    rec.eventSink = sink;
#else
    rec.eventSink = 0;
#endif
}

TestRecord MakeRecord(ULONG clientId, IEventSink* sink) {
    TestRecord r;
    std::memset(static_cast<SignOnRecord*>(&r), 0, sizeof(SignOnRecord));
    r.version = 2;
    r.clientId = clientId;
    SetSink(r, sink);
    return r;
}

}  // namespace testing_support
