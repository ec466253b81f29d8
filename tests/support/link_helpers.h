#pragma once
// Helpers for tests that drive link objects end to end: the DLL's exports, an
// owner thread to run calls on with a bound, and sign-on records.
#include <windows.h>

#include <functional>

#include "serverlink.h"
#include "test_support.h"

namespace testing_support {

// An export of the DLL as loaded in this process (through COM or LoadLibrary),
// or null when it is not loaded.
template <class Fn>
Fn DllExport(const char* name) {
    HMODULE dll = GetModuleHandleW(L"serverlink.dll");
    return dll != nullptr ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name))) : nullptr;
}

// Calls the DLL's DllCanUnloadNow on this thread, as COM does on a client's
// threads; the owner thread gives back proxies handed back to it meanwhile.
HRESULT AskCanUnload();

// A thread in a single-threaded apartment of its own that runs what it is
// given, one call at a time, serving its apartment in between: an owner thread
// for link objects that a test can wait for with a bound.
class StaThread {
public:
    StaThread();
    ~StaThread();  // ends the thread once the call in progress, if any, has returned
    StaThread(const StaThread&) = delete;
    StaThread& operator=(const StaThread&) = delete;

    // Runs fn on the thread; true when it returned within limitMs (a hang
    // guard). After a false, fn still runs to its end later: what it touches
    // must outlive the StaThread.
    bool Run(std::function<void()> fn, DWORD limitMs = kPatienceMs);
    // Starts fn on the thread and returns at once: an event, the caller's to
    // close, that is set once fn has returned (null if it could not be posted).
    HANDLE Start(std::function<void()> fn);
    DWORD Id() const { return m_id; }

private:
    static DWORD WINAPI Main(void* self);
    HANDLE m_thread = nullptr;
    DWORD m_id = 0;
    HANDLE m_ready = nullptr;  // the thread has its message queue
};

// A sign-on record as the tests make it, with the sink that signs on with it.
// The record names the sink itself on 32-bit; on 64-bit, where its four bytes
// cannot hold a pointer, the field stays 0 and SignOn subscribes the sink first.
struct TestRecord : SignOnRecord {
    IEventSink* sink = nullptr;
};

// Names `sink` as the record's sign-on sink, as a client of this bitness does.
void SetSink(TestRecord& rec, IEventSink* sink);

// A sign-on record in the long form with the given client id and sink; every
// other byte is zero apart from what validation needs.
TestRecord MakeRecord(ULONG clientId, IEventSink* sink);

// Signs on as a client of this bitness does: on 64-bit the record's sink is
// subscribed under key 0 first (with the record's own SignOn on 32-bit).
template <class Link>
HRESULT ClientSignOn(Link* link, const TestRecord& rec) {
#ifdef _WIN64
    if (rec.sink != nullptr) link->AddSubscriber(rec.sink, 0);
#endif
    return link->SignOn(static_cast<const SignOnRecord*>(&rec));
}

}  // namespace testing_support
