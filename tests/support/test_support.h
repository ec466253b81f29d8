#pragma once
#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <functional>
#include <string>

#include "patience.h"
#include "serverlink.h"

namespace testing_support {

// COM entered for the life of the object (STA by default).
class ComScope {
public:
    explicit ComScope(DWORD model = COINIT_APARTMENTTHREADED) : m_hr(CoInitializeEx(nullptr, model)) {}
    ~ComScope() {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }
    HRESULT hr() const { return m_hr; }

private:
    HRESULT m_hr;
};

// Polls pred until it holds, serving the calling thread's messages meanwhile
// (an apartment thread may have to answer calls while it waits). False when
// pred still does not hold after boundMs.
bool WaitFor(const std::function<bool()>& pred, DWORD boundMs = kPatienceMs);

// A number unique to this test process and call, for client ids and ring
// numbers that must not collide with tests running in parallel.
uint32_t UniqueNumber();

// A channel the reference server never hands out by itself (it stays below
// 65000), for a test to script (RefServer::SetChannel) so that it knows the
// link's ring numbers: the channel's and the next. Even, so that two test
// processes never share a ring.
uint16_t ScriptedChannel();

// A ring number for a test to make its own ring under: ring sections are named
// machine-wide, so it is unique to this process and call, and above the
// channels the reference server hands out.
uint32_t FreshRingNumber();

// True when ring n's section exists, in this process or any other.
bool SectionExists(uint32_t n);

// Full path of a file next to the test executable (the DLL, the tools).
std::wstring BesideExe(const wchar_t* file);

// Open handles of this process. Wine's GetProcessHandleCount answers 0 (no
// process has no handles): then every handle value is asked about instead.
DWORD HandleCount();

}  // namespace testing_support

#include <vector>

#include "localserver_control.h"

namespace testing_support {

// The reference local server's test control: scripts its answers and reads its
// call log. The script is global to the server process, so tests using it run
// under the `refserver` resource lock.
class RefServer {
public:
    RefServer();  // creates the control object (starting the server) and resets it
    ~RefServer();
    RefServer(const RefServer&) = delete;
    RefServer& operator=(const RefServer&) = delete;

    bool ok() const { return m_control != nullptr; }
    void Reset();
    void SetAnswer(const wchar_t* op, LONG value);
    void SetFailure(const wchar_t* op, HRESULT hr, const wchar_t* description = L"scripted failure");
    void SetChannel(LONG value);
    std::vector<std::string> Log();
    bool LogHas(const std::string& prefix);  // a line of the log starts with prefix
    void ClearLog();
    LONG ObjectCount();

    // Ring side. Inject writes one record into clientId's incoming ring with
    // exactly these fields (length as given, whatever the payload's size; an
    // empty payload goes as VT_EMPTY); *written is 1 if the ring took it, 0 if
    // it was full, -1 if the call failed.
    HRESULT Inject(LONG clientId, LONG type, LONG msgClientId, LONG peerId, LONG length, LONG eventCode,
                   LONG eventParam, LONG extra, const std::vector<BYTE>& payload = {}, LONG* written = nullptr);
    void SetEcho(bool on);
    void SetReading(bool on);  // off: the clients' outgoing rings are left unread
    // 0 log each data record, 1 count only, 2 count and check (checked_packet.h).
    HRESULT SetDrainMode(LONG mode);
    std::string DrainReport();  // empty when the call failed
    HRESULT RunDemo(LONG clientId, LONG pausedPeer, LONG pauseMs);
    LONG RingClients();  // -1 when the call failed
    // Once this control is gone the server sets readyEvent, and withdraws its
    // class objects just before the next call comes in.
    HRESULT HoldWithdrawalForCall(const wchar_t* readyEvent);
    // A server thread writes count events into clientId's incoming ring, as fast
    // as the ring takes them: event n has peerId clientId, code `code`, param n
    // and extra count. Returns at once.
    HRESULT Flood(LONG clientId, LONG count, LONG code);
    DWORD ProcessId();  // 0 when the call failed
    // Ends the server process from outside, as a crash would, once it has
    // withdrawn its class objects (so that the next activation starts a fresh
    // copy; under Wine a killed copy's registrations would outlive it). True
    // when the process has ended. Only for tests holding the refserver lock.
    bool Kill();

    ILocalServerControl* get() const { return m_control; }

private:
    ILocalServerControl* m_control = nullptr;
};

// Creates a link object through COM as a client would (registered class).
HRESULT CreateLink(IServerLink** link);

// Number of references an interface holds (AddRef then Release).
ULONG RefCount(IUnknown* p);

// Runs fn on a new thread (outside COM until fn enters it) and waits for it.
void RunOnThread(const std::function<void()>& fn);

}  // namespace testing_support
