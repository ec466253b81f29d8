#pragma once
// Event sinks for tests: one that records every call, one that only counts.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "serverlink.h"
#include "test_support.h"

namespace testing_support {

// One sink call as the sink saw it.
struct SinkCall {
    std::string tag;    // the sink's, where several share a log
    bool data = false;  // OnData; else OnEvent
    ULONG id = 0;
    LONG code = 0;       // OnEvent only
    LONG_PTR param = 0;  // OnEvent's param, or OnData's data address
    LONG extra = 0;
    ULONG length = 0;         // OnData only
    std::vector<BYTE> bytes;  // OnData's bytes, or a notice's (codes 8 and 9), read during the call
    DWORD thread = 0;
};

// Sink calls in the order they came; thread-safe. One sink's own, or shared by
// several so that the order across them shows.
class CallLog {
public:
    void Add(const SinkCall& c);
    std::vector<SinkCall> Calls();
    std::vector<SinkCall> Take();  // the calls so far, leaving the log empty
    size_t Count();
    size_t CountCode(LONG code);  // OnEvent calls with this code
    bool WaitCount(size_t n, DWORD limitMs = kPatienceMs);
    // Records reach the sinks in ring order: once a marker code is heard, so is
    // everything written before it.
    bool WaitCode(LONG code, DWORD limitMs = kPatienceMs);

private:
    std::mutex m_mutex;
    std::vector<SinkCall> m_calls;
};

// Records every call. The hooks run in the call, after it is recorded.
class RecordingSink : public IEventSink {
public:
    using Call = SinkCall;

    RecordingSink() : m_log(m_own) {}
    // Records into `log`, shared with other sinks, under `tag`.
    RecordingSink(CallLog& log, std::string tag) : m_log(log), m_tag(std::move(tag)) {}
    RecordingSink(const RecordingSink&) = delete;
    RecordingSink& operator=(const RecordingSink&) = delete;

    HRESULT STDMETHODCALLTYPE OnEvent(ULONG id, LONG code, LONG_PTR param, LONG extra) override;
    HRESULT STDMETHODCALLTYPE OnData(ULONG id, const BYTE* data, ULONG length, LONG extra) override;

    // Of the sink's log: every sink's calls where the log is shared.
    std::vector<Call> Calls() { return m_log.Calls(); }
    size_t Count() { return m_log.Count(); }
    size_t CountCode(LONG code) { return m_log.CountCode(code); }
    bool WaitCount(size_t n, DWORD limitMs = kPatienceMs) { return m_log.WaitCount(n, limitMs); }
    bool WaitCode(LONG code, DWORD limitMs = kPatienceMs) { return m_log.WaitCode(code, limitMs); }

    std::function<void(const Call&)> onEvent;
    std::function<void(const Call&)> onData;
    // Codes 8 and 9 carry the address of their bytes: read them. Off where an
    // event of those codes carries a plain number.
    bool readNotices = true;

private:
    CallLog m_own;
    CallLog& m_log;
    std::string m_tag;
};

// Counts the calls it is handed; thread-safe, and allocates nothing in a call.
// The hook runs in OnEvent before the event is counted: once a count is seen,
// so is what the hook did for it.
class CountingSink : public IEventSink {
public:
    HRESULT STDMETHODCALLTYPE OnEvent(ULONG id, LONG code, LONG_PTR param, LONG extra) override {
        if (onEvent) onEvent(id, code, param, extra);
        m_events.fetch_add(1);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnData(ULONG, const BYTE*, ULONG, LONG) override {
        m_data.fetch_add(1);
        return S_OK;
    }

    uint32_t Events() const { return m_events.load(); }
    uint32_t Data() const { return m_data.load(); }

    std::function<void(ULONG id, LONG code, LONG_PTR param, LONG extra)> onEvent;

private:
    std::atomic<uint32_t> m_events{0}, m_data{0};
};

}  // namespace testing_support
