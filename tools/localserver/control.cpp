#include "control.h"

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "events/descramble.h"
#include "handover.h"
#include "rings.h"
#include "server_state.h"
#include "serverlink_codes.h"

namespace localserver {

namespace {

HRESULT UnknownOp() { return ReportError(E_INVALIDARG, IID_ILocalServerControl, L"unknown operation name"); }

HRESULT NoRings() { return ReportError(E_INVALIDARG, IID_ILocalServerControl, L"no rings open for that client"); }

// The texts the control hands out are plain ASCII: names, decimal numbers and hex.
HRESULT AsciiBstr(const std::string& text, BSTR* out) {
    *out = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    if (!*out) return E_OUTOFMEMORY;
    for (size_t i = 0; i < text.size(); ++i) (*out)[i] = static_cast<unsigned char>(text[i]);
    return S_OK;
}

// The peer RunDemo's events come from.
constexpr uint32_t kDemoPeer = 1;

ShmMessage Event(uint32_t peer, int32_t code, int32_t param, int32_t extra) {
    ShmMessage msg;
    msg.type = serverlink::kMsgEvent;
    msg.peerId = peer;
    msg.eventCode = code;
    msg.eventParam = param;
    msg.extra = extra;
    return msg;
}

}  // namespace

Control::~Control() {
    if (m_withdrawalReady) ServingRole::Instance().WithdrawOnNextCall(std::move(m_withdrawalReady));
}

HRESULT STDMETHODCALLTYPE Control::Reset() {
    ServerState::Instance().Reset();
    RingHub::Instance().SetEcho(false);
    RingHub::Instance().SetReading(true);
    RingHub::Instance().SetDrainMode(DrainMode::Log);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::SetAnswer(BSTR op, LONG value) {
    Op which;
    if (!OpFromName(op, &which)) return UnknownOp();
    ServerState::Instance().SetAnswer(which, value);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::SetFailure(BSTR op, LONG hr, BSTR description) {
    Op which;
    if (!OpFromName(op, &which)) return UnknownOp();
    // Only failures can be scripted; 0 takes the failure away again.
    if (hr != S_OK && !FAILED(hr))
        return ReportError(E_INVALIDARG, IID_ILocalServerControl, L"hr must be a failure code or 0");
    ServerState::Instance().SetFailure(which, hr, description);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::SetChannel(LONG value) {
    ServerState::Instance().SetChannel(value);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::GetLog(BSTR* log) {
    if (!log) return E_POINTER;
    return AsciiBstr(ServerState::Instance().Log(), log);
}

HRESULT STDMETHODCALLTYPE Control::ClearLog() {
    ServerState::Instance().ClearLog();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::GetObjectCount(LONG* count) {
    if (!count) return E_POINTER;
    *count = ServerState::Instance().LiveObjects();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::Inject(LONG clientId, LONG type, LONG msgClientId, LONG peerId, LONG length,
                                          LONG eventCode, LONG eventParam, LONG extra, VARIANT payload, LONG* written) {
    if (!written) return E_POINTER;
    *written = 0;
    std::vector<unsigned char> bytes;
    if (V_VT(&payload) != VT_EMPTY && !VariantBytes(payload, serverlink::kMaxPayload, &bytes))
        return ReportError(E_INVALIDARG, IID_ILocalServerControl, L"payload must be a byte array or empty");
    std::shared_ptr<ClientRings> rings = RingHub::Instance().Find(static_cast<uint32_t>(clientId));
    if (!rings) return NoRings();

    // Field values exactly as given: tests send inconsistent records on purpose.
    ShmMessage msg;
    msg.type = static_cast<uint16_t>(type);
    msg.clientId = static_cast<uint32_t>(msgClientId);
    msg.peerId = static_cast<uint32_t>(peerId);
    msg.length = static_cast<uint32_t>(length);
    if (!bytes.empty()) std::memcpy(msg.payload, bytes.data(), bytes.size());
    msg.eventCode = eventCode;
    msg.eventParam = eventParam;
    msg.extra = extra;
    *written = rings->WriteIncoming(msg) ? 1 : 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::SetEcho(LONG on) {
    RingHub::Instance().SetEcho(on != 0);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::RunDemo(LONG clientId, LONG pausedPeer, LONG pauseMs) {
    std::shared_ptr<ClientRings> rings = RingHub::Instance().Find(static_cast<uint32_t>(clientId));
    if (!rings) return NoRings();

    // The demo's script: an event, a scrambled one that makes peer 1 ready, a
    // notice, and a pause of the peer the demo then tries to send to.
    static const char kWelcome[] = "welcome";
    ShmMessage sequence[4];
    sequence[0] = Event(kDemoPeer, 1, 100, 0);
    sequence[1] = Event(kDemoPeer, SERVERLINK_EVENT_SCRAMBLED, static_cast<int32_t>(serverlink::scramble(123456)),
                        int32_t(SERVERLINK_EXTRA_PEER_READY));
    sequence[2].type = serverlink::kMsgNoticeA;
    sequence[2].clientId = static_cast<uint32_t>(clientId);
    sequence[2].length = sizeof(kWelcome) - 1;
    std::memcpy(sequence[2].payload, kWelcome, sizeof(kWelcome) - 1);
    sequence[3] = Event(static_cast<uint32_t>(pausedPeer), SERVERLINK_EVENT_PAUSE, 0, 0);

    // One writer hold for the whole sequence: nothing else lands in between.
    if (rings->WriteIncoming(sequence, std::size(sequence)) != std::size(sequence)) return S_FALSE;
    // The resume comes from the poll thread, so this call does not block.
    RingHub::Instance().ScheduleResume(rings, static_cast<uint32_t>(pausedPeer),
                                       pauseMs > 0 ? static_cast<DWORD>(pauseMs) : 0);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::GetRingClients(LONG* count) {
    if (!count) return E_POINTER;
    *count = RingHub::Instance().Count();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::SetReading(LONG on) {
    RingHub::Instance().SetReading(on != 0);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::HoldWithdrawalForCall(BSTR readyEvent) {
    serverlink::CHandle ready(readyEvent ? OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEvent) : nullptr);
    if (!ready) return ReportError(E_INVALIDARG, IID_ILocalServerControl, L"no event of that name");
    m_withdrawalReady = std::move(ready);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::SetDrainMode(LONG mode) {
    if (mode < LONG(DrainMode::Log) || mode > LONG(DrainMode::Check)) return E_INVALIDARG;
    RingHub::Instance().SetDrainMode(static_cast<DrainMode>(mode));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::GetDrainReport(BSTR* report) {
    if (report == nullptr) return E_POINTER;
    return AsciiBstr(RingHub::Instance().DrainReport(), report);
}

HRESULT STDMETHODCALLTYPE Control::Flood(LONG clientId, LONG count, LONG code) {
    if (count < 0) return ReportError(E_INVALIDARG, IID_ILocalServerControl, L"count must not be negative");
    std::shared_ptr<ClientRings> rings = RingHub::Instance().Find(static_cast<uint32_t>(clientId));
    if (!rings) return NoRings();
    if (!RingHub::Instance().Flood(rings, static_cast<uint32_t>(count), code)) return E_OUTOFMEMORY;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::GetProcessId(LONG* pid) {
    if (pid == nullptr) return E_POINTER;
    *pid = static_cast<LONG>(GetCurrentProcessId());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Control::WithdrawClasses() {
    ServingRole::Instance().Retire();
    return S_OK;
}

}  // namespace localserver
