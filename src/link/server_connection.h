#pragma once
#include <windows.h>
#include <objbase.h>

#include <comdef.h>

#include "../common/com_ptr.h"
#include "../common/error.h"
#include "localserver.h"
#include "mta.h"
#include "owner_apartment.h"

namespace serverlink {

_COM_SMARTPTR_TYPEDEF(ILocalServer, __uuidof(ILocalServer));

// A link's connection to its local server object, and the server interface for
// whichever thread calls:
//  - the creating thread, when it is in a single-threaded apartment, is the owner
//    thread: its calls use the proxy made there, with no COM entry of their own;
//  - every other thread uses a second proxy held in the multithreaded apartment,
//    unmarshalled there from a normal marshal packet at creation: it calls that
//    proxy itself when it is outside COM (joining the MTA for the call) or in the
//    MTA, and from a single-threaded apartment through a pool thread.
// No proxy is ever marshalled table-weak or table-strong, and none is used or
// released outside its apartment: a proxy cannot be table-marshalled on older
// Windows, and a table packet of one dies with it.
class CServerConnection {
public:
    // On the creating thread; leaves that thread's COM as it found it. The
    // connection is unusable when the server object cannot be made, run or
    // reached from the MTA.
    CServerConnection();
    // Any thread: each proxy goes back in its own apartment.
    ~CServerConnection();
    CServerConnection(const CServerConnection&) = delete;
    CServerConnection& operator=(const CServerConnection&) = delete;

    bool Connected() const { return m_bConnected; }

    // Runs fn(server) with the server interface usable where fn runs, and returns
    // its result; E_FAIL when not connected (fn is not run) or when fn throws. fn
    // gets null, on the calling thread, when no interface can be had for it.
    template <class Fn>
    HRESULT Call(Fn&& fn);

private:
    // The server object in the calling thread's apartment, or null.
    static ILocalServerPtr Create();
    // A proxy in the MTA for `server`, which lives in the calling thread's
    // single-threaded apartment.
    bool ShareWithMta(ILocalServer* server);

    COwnerSlot m_owner;          // the owner thread's proxy, released in its apartment
    ILocalServerPtr m_spShared;  // lives in the MTA; any MTA thread may use and release it
    bool m_bMtaHeld = false;
    bool m_bConnected = false;
};

template <class Fn>
HRESULT CServerConnection::Call(Fn&& fn) {
    if (!m_bConnected) return E_FAIL;
    if (GetCurrentThreadId() == m_owner.OwnerThreadId()) {
        // Only the owner thread reads its slot, and only the owner thread empties
        // it while the link lives (when its apartment ends).
        if (IUnknown* own = m_owner.Get()) return HResultOf([&] { return fn(static_cast<ILocalServer*>(own)); });
    }
    HRESULT result = E_FAIL;
    auto inMta = [&] { result = HResultOf([&] { return fn(m_spShared.GetInterfacePtr()); }); };
    if (!RunInMta(inMta)) result = HResultOf([&] { return fn(nullptr); });
    return result;
}

}  // namespace serverlink
