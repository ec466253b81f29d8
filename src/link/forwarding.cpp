// The plain request methods: each passes the client's arguments on to one
// server operation, with the signed-on clientId first, and returns the server's
// out value (or E_FAIL for any failure). And the methods that go to the link's
// send and receive sides.
#include <climits>

#include "com_util.h"
#include "server_link.h"

namespace serverlink {

template <class Fn>
HRESULT CServerLink::Forward(Fn&& call) {
    return m_server.Call([&](ILocalServer* s) -> HRESULT {
        if (s == nullptr) return E_FAIL;
        return call(s, Identity());
    });
}

HRESULT CServerLink::RequestDefault(LONG a, LONG b, LONG c, LONG d) {
    return Request(a, b, c, d, 21);
}

HRESULT CServerLink::Request(LONG a, LONG b, LONG c, LONG d, LONG e) {
    return Forward([&](ILocalServer* s, const SignOnIdentity& id) {
        LONG out = 0;
        // The server's operation takes the client's second value last: that is
        // its own argument order, which clients of this interface have always had.
        Check(s->Request(static_cast<LONG>(id.clientId), a, c, d, e, b, &out), s);
        return HRESULT(out);
    });
}

HRESULT CServerLink::ClosePeer(ULONG peerId) {
    bool called = false;
    const HRESULT hr = Forward([&](ILocalServer* s, const SignOnIdentity& id) {
        LONG out = 0;
        Check(s->ClosePeer(static_cast<LONG>(id.clientId), static_cast<LONG>(peerId), &out), s);
        called = true;
        return HRESULT(out);
    });
    if (called) m_send.ClosePeer(peerId);
    return hr;
}

HRESULT CServerLink::QueryA() {
    return Forward([&](ILocalServer* s, const SignOnIdentity& id) {
        LONG out = 0;
        Check(s->QueryA(static_cast<LONG>(id.clientId), &out), s);
        return HRESULT(out);
    });
}

HRESULT CServerLink::QueryB() {
    return Forward([&](ILocalServer* s, const SignOnIdentity& id) {
        LONG out = 0;
        Check(s->QueryB(static_cast<LONG>(id.clientId), &out), s);
        return HRESULT(out);
    });
}

HRESULT CServerLink::PostBlock(LONG value, const BYTE* bytes, ULONG count) {
    if (bytes == nullptr && count != 0) return E_FAIL;
    return Forward([&](ILocalServer* s, const SignOnIdentity& id) {
        CByteArray array(bytes, count);
        CByteBlockArg block(array);
        Check(s->PostBlock(static_cast<LONG>(id.clientId), value, block.Arg()), s);
        block.Done();
        return S_OK;
    });
}

HRESULT CServerLink::ModeRequest(LONG value) {
    return Forward([&](ILocalServer* s, const SignOnIdentity& id) {
        LONG out = 0;
        Check(s->ModeRequest(static_cast<LONG>(id.clientId), value, id.mode, &out), s);
        return HRESULT(out);
    });
}

HRESULT CServerLink::PairRequest(LONG a, LONG b) {
    return Forward([&](ILocalServer* s, const SignOnIdentity& id) {
        LONG out = 0;
        Check(s->PairRequest(static_cast<LONG>(id.clientId), a, b, &out), s);
        return HRESULT(out);
    });
}

HRESULT CServerLink::PostValueList(LONG, const LONG* values, ULONG count) {
    if (count > ULONG_MAX / sizeof(LONG)) return E_FAIL;  // byte size must fit in 32 bits
    if (values == nullptr && count != 0) return E_FAIL;
    return Forward([&](ILocalServer* s, const SignOnIdentity& id) {
        CByteArray array(values, count * sizeof(LONG));
        CByteBlockArg block(array);
        LONG out = 0;
        Check(s->PostValueList(static_cast<LONG>(id.clientId), id.mode, block.Arg(),
                               static_cast<LONG>(count), &out),
              s);
        block.Done();
        return HRESULT(out);
    });
}

HRESULT CServerLink::ModePairRequest(LONG, LONG a, LONG b) {
    return Forward([&](ILocalServer* s, const SignOnIdentity& id) {
        LONG out = 0;
        Check(s->ModePairRequest(static_cast<LONG>(id.clientId), id.mode, a, b, &out), s);
        return HRESULT(out);
    });
}

HRESULT CServerLink::ModeValueRequestA(LONG, LONG value) {
    return Forward([&](ILocalServer* s, const SignOnIdentity& id) {
        LONG out = 0;
        Check(s->ModeValueRequestA(static_cast<LONG>(id.clientId), id.mode, value, &out), s);
        return HRESULT(out);
    });
}

HRESULT CServerLink::ModeValueRequestB(LONG, LONG value) {
    return Forward([&](ILocalServer* s, const SignOnIdentity& id) {
        LONG out = 0;
        Check(s->ModeValueRequestB(static_cast<LONG>(id.clientId), id.mode, value, &out), s);
        return HRESULT(out);
    });
}

HRESULT CServerLink::ModeQuery() {
    return Forward([&](ILocalServer* s, const SignOnIdentity& id) {
        LONG out = 0;
        Check(s->ModeQuery(static_cast<LONG>(id.clientId), id.mode, &out), s);
        return HRESULT(out);
    });
}

HRESULT CServerLink::SendData(ULONG peerId, const BYTE* data, ULONG length) {
    return m_send.SendData(peerId, data, length);
}

HRESULT CServerLink::AddSubscriber(IEventSink* sink, ULONG key) {
    return Connected() ? m_receive.AddSubscriber(sink, key) : E_FAIL;
}

HRESULT CServerLink::RemoveSubscriber(IEventSink* sink, ULONG key) {
    return Connected() ? m_receive.RemoveSubscriber(sink, key) : E_FAIL;
}

}  // namespace serverlink
