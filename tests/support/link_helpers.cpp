#include "link_helpers.h"

#include <cstring>

namespace testing_support {

HRESULT AskCanUnload() {
    auto canUnload = DllExport<HRESULT(STDAPICALLTYPE*)()>("DllCanUnloadNow");
    return canUnload != nullptr ? canUnload() : E_FAIL;
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
