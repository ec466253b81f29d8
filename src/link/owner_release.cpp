#include "owner_release.h"

#include <vector>

#include "../common/crit_sec.h"
#include "../common/module_lock.h"

namespace serverlink {

namespace {

struct HandedBack {
    HANDLE thread;  // owned; keeps the owner's thread id from being reused
    DWORD threadId;
    IUnknown* p;    // owned reference
};

// Made on first use and never destroyed: at process exit the entries are left
// to the platform.
struct HandBackList {
    CCritSec lock;
    std::vector<HandedBack> entries;  // guarded by lock
    volatile LONG count = 0;          // entries.size(), readable without the lock
};

HandBackList& List() {
    static HandBackList* const list = new HandBackList();
    return *list;
}

bool Ended(HANDLE thread) { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }

void Give(const HandedBack& e) {
    e.p->Release();
    CloseHandle(e.thread);
}

// A proxy waiting in the list keeps the module loaded: the list lives in it.
void GiveFromList(const HandedBack& e) {
    Give(e);
    ModuleRelease();
}

}  // namespace

void HandBackToOwner(HANDLE ownerThread, IUnknown* p) {
    if (p == nullptr) {
        if (ownerThread != nullptr) CloseHandle(ownerThread);
        return;
    }
    const HandedBack entry{ownerThread, ownerThread != nullptr ? GetThreadId(ownerThread) : 0, p};
    if (ownerThread == nullptr || Ended(ownerThread)) {
        Give(entry);
        return;
    }
    HandBackList& list = List();
    CAutoLock lock(list.lock);
    try {
        list.entries.push_back(entry);
        ModuleAddRef();
    } catch (...) {
        // No room to defer: the reference stays with the owner's apartment,
        // which gives it back to the server when it ends.
        CloseHandle(ownerThread);
        return;
    }
    InterlockedIncrement(&list.count);
}

void ReleaseHandedBack() {
    HandBackList& list = List();
    if (InterlockedCompareExchange(&list.count, 0, 0) == 0) return;
    std::vector<HandedBack> mine;
    {
        CAutoLock lock(list.lock);
        const DWORD self = GetCurrentThreadId();
        for (size_t i = 0; i < list.entries.size();) {
            const HandedBack& e = list.entries[i];
            if (e.threadId == self || Ended(e.thread)) {
                try {
                    mine.push_back(e);
                } catch (...) {
                    break;  // try again on a later call
                }
                list.entries.erase(list.entries.begin() + static_cast<ptrdiff_t>(i));
                InterlockedDecrement(&list.count);
            } else {
                ++i;
            }
        }
    }
    // Outside the lock: a release is a call to the server.
    for (const HandedBack& e : mine) GiveFromList(e);
}

LONG HandedBackCount() { return InterlockedCompareExchange(&List().count, 0, 0); }

}  // namespace serverlink
