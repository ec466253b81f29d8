#pragma once
#include <windows.h>

#include <memory>

#include "../common/com_ptr.h"

namespace serverlink {

class COwnerApartment;

// An interface pointer belongs to the apartment that obtained it, and only that
// apartment may release it. A link made on a thread in a single-threaded
// apartment keeps the proxy it made there in an owner slot, entered with that
// apartment here; whatever thread lets the link go, the proxy is released on the
// owner thread:
//  - at once when the link goes on the owner thread itself;
//  - else through a message to a message-only window that the owner thread made,
//    which its message loop dispatches (every single-threaded apartment pumps);
//  - and, if the apartment ends first, by an initialize spy on the owner thread
//    just before it ends, for every slot and message still waiting; the links
//    then have no owner thread any more.
// A proxy whose owner thread ended without leaving COM can be released nowhere:
// it is left, as COM leaves that apartment, until the process ends.
class COwnerSlot {
public:
    COwnerSlot() = default;
    ~COwnerSlot() { Leave(); }
    COwnerSlot(const COwnerSlot&) = delete;
    COwnerSlot& operator=(const COwnerSlot&) = delete;

    // On the owner thread, in a single-threaded apartment: takes over the
    // caller's reference to `proxy`, kept as it is (a com pointer made from
    // another interface type would ask the proxy for its identity instead).
    // False (and `proxy` released here) if the apartment could not be joined.
    bool Enter(IUnknown* proxy);
    // The proxy, on the owner thread only; null once the owner's apartment has ended.
    IUnknown* Get() const { return m_proxy.GetInterfacePtr(); }
    DWORD OwnerThreadId() const { return m_ownerThreadId; }
    // Any thread: gives the proxy back in its apartment, as above.
    void Leave();

private:
    friend class COwnerApartment;
    // What a slot leaves with its agent when it goes on another thread. Made
    // when the slot enters, so that handing a proxy back never needs memory.
    struct Parcel {
        IUnknownPtr proxy;
        Parcel* next = nullptr;
    };

    // Read without a lock on the owner thread alone; emptied under the agents'
    // lock, on the owner thread (its apartment ends) or by the link's
    // destruction, after which nobody calls the link.
    IUnknownPtr m_proxy;
    std::unique_ptr<Parcel> m_parcel;
    COwnerApartment* m_pApartment = nullptr;
    COwnerSlot* m_pPrev = nullptr;  // the agent's slots (agents' lock)
    COwnerSlot* m_pNext = nullptr;
    DWORD m_ownerThreadId = 0;
};

// Forgets the proxies waiting for owner threads that have ended without leaving
// COM, so that they do not keep the module loaded. No call to any server.
void ForgetEndedOwners();

}  // namespace serverlink
