#pragma once
#include <windows.h>

namespace localserver {

// Process lifetime: every live COM object and every LockServer(TRUE) holds the
// server. When the count returns to zero the main thread is told with
// kMsgServerIdle, and decides whether to retire.
constexpr UINT kMsgServerIdle = WM_APP + 1;

void SetLifetimeThread(DWORD threadId);
void ServerLock();
void ServerUnlock();
LONG ServerLockCount();

// One server lock for the life of the object that holds it. As the first
// member, it is given back after everything else of the object is gone.
class ServerUse {
public:
    ServerUse() { ServerLock(); }
    ~ServerUse() { ServerUnlock(); }
    ServerUse(const ServerUse&) = delete;
    ServerUse& operator=(const ServerUse&) = delete;
};

}  // namespace localserver
