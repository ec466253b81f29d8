// Sign-on and sign-off: the channel agreement, the two rings, the hub entry,
// the record's own sink and the login record.
#include <winsock2.h>

#include "../shm/channel_hub.h"
#include "com_util.h"
#include "records.h"
#include "server_link.h"

namespace serverlink {

namespace {

// The channel a sign-on proposes: somewhere in 500 to 1499, by the tick count,
// computed in unsigned 32 bits. The server may leave another one.
constexpr uint32_t kProposalBase = 500;
constexpr uint32_t kProposalSpan = 1000;
LONG ChannelProposal() { return static_cast<LONG>(GetTickCount() % kProposalSpan + kProposalBase); }

// The address the login record carries.
const char kLoginAddress[] = "127.0.0.1";

}  // namespace

HRESULT CServerLink::SignOn(const void* record) {
    // One sign-on per object at a time. A flag, not a lock: a sink signing on
    // again from its callback must not wait for one in progress on a client
    // thread (which may itself wait for that callback to end).
    if (m_bSigningOn.exchange(true)) return E_FAIL;
    struct ClearOnExit {
        std::atomic<bool>& busy;
        ~ClearOnExit() { busy.store(false); }
    } clear{m_bSigningOn};
    return m_server.Call([&](ILocalServer* server) -> HRESULT {
        if (server == nullptr || record == nullptr) return E_FAIL;
        return SignOnWith(*server, record);
    });
}

HRESULT CServerLink::SignOnWith(ILocalServer& server, const void* record) {
    LONG status = E_FAIL;
    SignOnRecord work;
    ReadSignOnRecord(record, work);
    // A refused record changes nothing, not even an earlier sign-on's rings.
    if (!ValidateSignOnRecord(work)) return E_FAIL;
    if (!SinkFieldUsable(work)) return E_INVALIDARG;
    {
        // From here on forwarding calls carry the new record, also if a later
        // step fails. Rings keep the clientId they were made for.
        CAutoLock lock(m_signOnLock);
        m_signOn = work;
    }

    LONG proposal = ChannelProposal();
    Check(server.NegotiateChannel(0, &proposal, &status), &server);
    if (status != 0) return status;
    const uint16_t channelId = static_cast<uint16_t>(static_cast<uint32_t>(proposal) & 0xFFFFu);

    // Signing on again replaces what an earlier sign-on left: no ring is
    // orphaned and no stale hub entry keeps calling this object.
    ReleaseRings();
    // Whatever ring comes back (none, unless a sign-off from a callback raced
    // this) is unmapped at once, outside the send side's locks.
    m_send.SwapRing(std::make_unique<CShmQueue>(OutgoingRing(channelId), kRingSlots, true), work.clientId);

    CChannelHub& hub = CChannelHub::Instance();
    if (!hub.Register(work.clientId, this, IncomingRing(channelId), kRingSlots)) return E_FAIL;
    if (!hub.Start()) {
        // Nothing would ever read the incoming ring.
        hub.UnregisterOwner(this);
        return E_FAIL;
    }
    LoginRecord login;
    {
        CAutoLock lock(m_signOnLock);
        m_signOn.channelId = channelId;
        BuildLoginRecord(m_signOn, inet_addr(kLoginAddress), login);
    }
    CByteArray array(&login, sizeof(login));
    // Subscribed before the server sees the login, and whatever happens after.
    if (IEventSink* sink = RecordSink(work)) AddSubscriber(sink, 0);
    CByteBlockArg block(array);

    Check(server.Login(block.Arg(), &status), &server);
    block.Done();

    if (status != 0) {
        hub.UnregisterOwner(this);
        LONG ignored = 0;
        Check(server.Disconnect(&ignored), &server);
    }
    return status;
}

HRESULT CServerLink::SignOff() {
    return m_server.Call([&](ILocalServer* server) -> HRESULT {
        m_receive.ClearSubscribers();
        if (server == nullptr) {
            // The server cannot be reached from this thread: the sign-off cannot
            // tell it, but what it takes down here needs no server, and no sink
            // may hear from this object after SignOff has returned.
            CChannelHub::Instance().UnregisterOwner(this);
            return E_FAIL;
        }
        try {
            const SignOnIdentity id = Identity();
            LONG status = E_FAIL;
            Check(server->Logout(static_cast<LONG>(id.clientId), static_cast<LONG>(id.dword11), id.channelId, &status),
                  server);
            LONG ignored = 0;
            Check(server->Disconnect(&ignored), server);
            ReleaseRings();
            return status;
        } catch (...) {
            // The server failed (a COM error): the hub entry goes all the same,
            // the outgoing ring stays, and the caller hears E_FAIL.
            CChannelHub::Instance().UnregisterOwner(this);
            return E_FAIL;
        }
    });
}

}  // namespace serverlink
