#include "sinks.h"

#include <algorithm>

namespace testing_support {

void CallLog::Add(const SinkCall& c) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(c);
}

std::vector<SinkCall> CallLog::Calls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<SinkCall> CallLog::Take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<SinkCall> out;
    out.swap(m_calls);
    return out;
}

size_t CallLog::Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls.size();
}

size_t CallLog::CountCode(LONG code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const SinkCall& c : m_calls)
        if (!c.data && c.code == code) ++n;
    return n;
}

bool CallLog::WaitCount(size_t n, DWORD limitMs) {
    return WaitFor([&] { return Count() >= n; }, limitMs);
}

bool CallLog::WaitCode(LONG code, DWORD limitMs) {
    return WaitFor([&] { return CountCode(code) > 0; }, limitMs);
}

namespace {
// Never past the payload a record has, whatever length is claimed: an
// overlong claim shows in the recorded length, not as a crash here.
std::vector<BYTE> Copy(const BYTE* p, ULONG length) {
    return std::vector<BYTE>(p, p + std::min<ULONG>(length, SERVERLINK_MAX_DATA));
}
}  // namespace

HRESULT RecordingSink::OnEvent(ULONG id, LONG code, LONG_PTR param, LONG extra) {
    Call c;
    c.tag = m_tag;
    c.id = id;
    c.code = code;
    c.param = param;
    c.extra = extra;
    c.thread = GetCurrentThreadId();
    if (readNotices && (code == 8 || code == 9) && param != 0 && extra > 0)
        c.bytes = Copy(reinterpret_cast<const BYTE*>(param), ULONG(extra));
    m_log.Add(c);
    if (onEvent) onEvent(c);
    return S_OK;
}

HRESULT RecordingSink::OnData(ULONG id, const BYTE* data, ULONG length, LONG extra) {
    Call c;
    c.tag = m_tag;
    c.data = true;
    c.id = id;
    c.param = reinterpret_cast<LONG_PTR>(data);
    c.extra = extra;
    c.length = length;
    c.thread = GetCurrentThreadId();
    if (data != nullptr) c.bytes = Copy(data, length);
    m_log.Add(c);
    if (onData) onData(c);
    return S_OK;
}

}  // namespace testing_support
