#include "local_server.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "link/records.h"
#include "server_state.h"

namespace localserver {

namespace {

// Logs the call and says what the script wants: S_OK, or the scripted failure
// with its error object.
HRESULT Answer(Op op, LogLine& line, Outcome* outcome = nullptr) {
    Outcome o = ServerState::Instance().Record(op, line.Take());
    HRESULT hr = S_OK;
    if (FAILED(o.failure)) hr = ReportError(o.failure, IID_ILocalServer, o.description.c_str());
    if (outcome) *outcome = std::move(o);
    return hr;
}

// As above for an operation with one out value, which gets the scripted
// answer on success and 0 on failure.
HRESULT Answer(Op op, LogLine& line, LONG* out) {
    Outcome o;
    HRESULT hr = Answer(op, line, &o);
    if (!out) return E_POINTER;
    *out = SUCCEEDED(hr) ? o.answer : 0;
    return hr;
}

// clientId and channelId from a login record; false when the record is not a
// byte array long enough to hold them.
bool ParseLoginRecord(const VARIANT& record, uint32_t* clientId, uint16_t* channelId) {
    using serverlink::LoginRecord;
    std::vector<unsigned char> bytes;
    if (!VariantBytes(record, sizeof(LoginRecord), &bytes)) return false;
    if (bytes.size() < offsetof(LoginRecord, channelId) + sizeof(uint16_t)) return false;
    LoginRecord login;
    std::memset(&login, 0, sizeof(login));
    std::memcpy(&login, bytes.data(), bytes.size());
    *clientId = login.clientId;
    *channelId = login.channelId;
    return true;
}

}  // namespace

LocalServer::LocalServer() { ServerState::Instance().ObjectCreated(); }

LocalServer::~LocalServer() {
    EndSignOn();
    ServerState::Instance().ObjectDestroyed();
}

void LocalServer::EndSignOn() {
    m_rings.Detach();
    m_channel.Release();
}

HRESULT STDMETHODCALLTYPE LocalServer::Disconnect(LONG* result) {
    LogLine line(Op::Disconnect);
    const HRESULT hr = Answer(Op::Disconnect, line, result);
    EndSignOn();
    return hr;
}

HRESULT STDMETHODCALLTYPE LocalServer::Login(VARIANT loginRecord, LONG* status) {
    LogLine line(Op::Login);
    line.Var(loginRecord);
    const HRESULT hr = Answer(Op::Login, line, status);
    uint32_t clientId = 0;
    uint16_t channelId = 0;
    // The client made both rings before calling; a refused login opens nothing.
    if (hr == S_OK && status && *status == 0 && ParseLoginRecord(loginRecord, &clientId, &channelId))
        m_rings.Attach(clientId, channelId);
    return hr;
}

HRESULT STDMETHODCALLTYPE LocalServer::Logout(LONG clientId, LONG dword11, unsigned short channelId, LONG* status) {
    LogLine line(Op::Logout);
    line.Num(clientId).Num(dword11).Num(channelId);
    const HRESULT hr = Answer(Op::Logout, line, status);
    // This object's sign-on ends whatever the arguments say.
    EndSignOn();
    return hr;
}

HRESULT STDMETHODCALLTYPE LocalServer::Request(LONG clientId, LONG v1, LONG v2, LONG v3, LONG v4, LONG v5,
                                               LONG* status) {
    LogLine line(Op::Request);
    line.Num(clientId).Num(v1).Num(v2).Num(v3).Num(v4).Num(v5);
    return Answer(Op::Request, line, status);
}

HRESULT STDMETHODCALLTYPE LocalServer::ClosePeer(LONG clientId, LONG peerId, LONG* status) {
    LogLine line(Op::ClosePeer);
    line.Num(clientId).Num(peerId);
    return Answer(Op::ClosePeer, line, status);
}

HRESULT STDMETHODCALLTYPE LocalServer::Reserved12() {
    LogLine line(Op::Reserved12);
    return Answer(Op::Reserved12, line);
}

HRESULT STDMETHODCALLTYPE LocalServer::QueryA(LONG clientId, LONG* value) {
    LogLine line(Op::QueryA);
    line.Num(clientId);
    return Answer(Op::QueryA, line, value);
}

HRESULT STDMETHODCALLTYPE LocalServer::QueryB(LONG clientId, LONG* value) {
    LogLine line(Op::QueryB);
    line.Num(clientId);
    return Answer(Op::QueryB, line, value);
}

HRESULT STDMETHODCALLTYPE LocalServer::NegotiateChannel(LONG reserved, LONG* channel, LONG* status) {
    LogLine line(Op::NegotiateChannel);
    line.Num(reserved);
    if (channel) line.Num(*channel);
    Outcome o;
    HRESULT hr = Answer(Op::NegotiateChannel, line, &o);
    if (!channel || !status) return E_POINTER;
    if (FAILED(hr)) {
        *status = 0;
        return hr;
    }
    // A scripted channel is handed out verbatim and reserves nothing; otherwise
    // an accepted negotiation reserves a ring pair no other client holds.
    if (o.channel != 0) {
        m_channel.Release();
        *channel = o.channel;
    } else if (o.answer == 0) {
        *channel = static_cast<LONG>(m_channel.Take(static_cast<uint32_t>(*channel)));
    }
    *status = o.answer;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE LocalServer::PostBlock(LONG clientId, LONG value, VARIANT block) {
    LogLine line(Op::PostBlock);
    line.Num(clientId).Num(value).Var(block);
    return Answer(Op::PostBlock, line);
}

HRESULT STDMETHODCALLTYPE LocalServer::Reserved17() {
    LogLine line(Op::Reserved17);
    return Answer(Op::Reserved17, line);
}

HRESULT STDMETHODCALLTYPE LocalServer::ModeRequest(LONG clientId, LONG value, unsigned char mode, LONG* status) {
    LogLine line(Op::ModeRequest);
    line.Num(clientId).Num(value).Num(mode);
    return Answer(Op::ModeRequest, line, status);
}

HRESULT STDMETHODCALLTYPE LocalServer::PairRequest(LONG clientId, LONG a, LONG b, LONG* status) {
    LogLine line(Op::PairRequest);
    line.Num(clientId).Num(a).Num(b);
    return Answer(Op::PairRequest, line, status);
}

HRESULT STDMETHODCALLTYPE LocalServer::PostValueList(LONG clientId, unsigned char mode, VARIANT values, LONG count,
                                                     LONG* status) {
    LogLine line(Op::PostValueList);
    line.Num(clientId).Num(mode).Var(values).Num(count);
    return Answer(Op::PostValueList, line, status);
}

HRESULT STDMETHODCALLTYPE LocalServer::ModePairRequest(LONG clientId, unsigned char mode, LONG a, LONG b,
                                                       LONG* status) {
    LogLine line(Op::ModePairRequest);
    line.Num(clientId).Num(mode).Num(a).Num(b);
    return Answer(Op::ModePairRequest, line, status);
}

HRESULT STDMETHODCALLTYPE LocalServer::ModeValueRequestA(LONG clientId, unsigned char mode, LONG value, LONG* status) {
    LogLine line(Op::ModeValueRequestA);
    line.Num(clientId).Num(mode).Num(value);
    return Answer(Op::ModeValueRequestA, line, status);
}

HRESULT STDMETHODCALLTYPE LocalServer::ModeValueRequestB(LONG clientId, unsigned char mode, LONG value, LONG* status) {
    LogLine line(Op::ModeValueRequestB);
    line.Num(clientId).Num(mode).Num(value);
    return Answer(Op::ModeValueRequestB, line, status);
}

HRESULT STDMETHODCALLTYPE LocalServer::ModeQuery(LONG clientId, unsigned char mode, LONG* status) {
    LogLine line(Op::ModeQuery);
    line.Num(clientId).Num(mode);
    return Answer(Op::ModeQuery, line, status);
}

}  // namespace localserver
