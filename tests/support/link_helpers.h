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

// A sign-on record in the long form with the given client id and sink; every
// other byte is zero apart from what validation needs.
SignOnRecord MakeRecord(ULONG clientId, IEventSink* sink);

}  // namespace testing_support
