#pragma once
#include <windows.h>
#include <objbase.h>

#include "com_support.h"
#include "common/handle.h"

namespace localserver {

// Which copy of localserver.exe serves, and how one copy hands over to the next.
//
// COM starts a copy whenever a client activates and finds no class object
// offered, so several copies can run at once: clients activating together, or
// one activating while the serving copy retires. One copy at a time offers the
// class objects, so that the script set through a control object applies to the
// LocalServer objects of the same test: the copy that holds the serving claim,
// a named mutex. No step of the hand-over has a time limit:
//
//  - A new copy waits for the claim as long as its holder lives. Meanwhile the
//    holder serves every client, the one COM started the new copy for included:
//    COM keeps looking for an offered class until one is there.
//  - A retiring holder withdraws its class objects and lets go of the claim at
//    once; a crashed holder's claim comes free as an abandoned mutex. A waiting
//    copy takes over straight away.
//  - A client that looked the class up just before the withdrawal calls in just
//    after it, and COM would hand it nothing. Its call is seen on its way in (by
//    a message filter) and the class objects are offered again for it; the claim
//    is taken back too, unless another copy has it by then.
//  - A retired copy stays until its own clients are gone and it has been quiet
//    for a while, for such late callers.
//
// Everything here runs on the server's apartment thread.

// The serving claim.
class Claim {
public:
    Claim() = default;
    ~Claim() { Release(); }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    HRESULT Open();
    // Waits until the claim is this copy's, serving the thread's messages
    // meanwhile. False if waiting failed.
    bool Take();
    // Takes the claim if it is free now.
    bool TryTake();
    void Release();
    bool Held() const { return m_held; }

private:
    serverlink::CHandle m_mutex;
    bool m_held = false;
};

// The registrations of the LocalServer and LocalServerControl class objects.
class ClassObjects {
public:
    ClassObjects() = default;
    ~ClassObjects() { Withdraw(); }
    ClassObjects(const ClassObjects&) = delete;
    ClassObjects& operator=(const ClassObjects&) = delete;

    HRESULT Offer();
    void Withdraw();
    bool Offered() const { return m_server != 0; }

private:
    DWORD m_server = 0;
    DWORD m_control = 0;
};

class ServingRole final : public ProcessObject<IMessageFilter> {
public:
    static ServingRole& Instance();

    // Waits for the claim, then offers the class objects. S_OK when serving.
    HRESULT Begin();
    // Stops watching calls, withdraws the class objects and lets go of the claim.
    void End();

    bool HoldsClaim() const { return m_claim.Held(); }
    bool Offered() const { return m_classes.Offered(); }
    // Withdraws the class objects and hands the claim to whoever waits for it.
    void Retire();
    // Withdraws the class objects offered without the claim for a late caller.
    void Withdraw() { m_classes.Withdraw(); }

    // Test hook (ILocalServerControl::HoldWithdrawalForCall): sets ready (and
    // closes it), then retires just before the next incoming call runs.
    void WithdrawOnNextCall(serverlink::CHandle ready);
    bool WithdrawalPending() const { return m_withdrawOnCall; }

    // IMessageFilter: sees every call coming in to this apartment.
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD callType, HTASK caller, DWORD tickCount,
                                               LPINTERFACEINFO info) override;
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK callee, DWORD tickCount, DWORD rejectType) override;
    DWORD STDMETHODCALLTYPE MessagePending(HTASK callee, DWORD tickCount, DWORD pendingType) override;

private:
    ServingRole() = default;
    ~ServingRole() = default;
    ServingRole(const ServingRole&) = delete;
    ServingRole& operator=(const ServingRole&) = delete;

    // Offers the class objects again for a caller that found them offered.
    void TakeBack();

    Claim m_claim;
    ClassObjects m_classes;
    bool m_watching = false;        // this filter is registered
    bool m_withdrawOnCall = false;  // test hook: retire as the next call comes in
};

}  // namespace localserver
