#pragma once
#include <windows.h>

#include "com_support.h"
#include "common/handle.h"
#include "localserver_control.h"

namespace localserver {

// LocalServerControl: lets tests script the server and read its call log
// (interface documented in localserver_control.idl).
class Control final : public ServerObject<ILocalServerControl, kControlTypeLib> {
public:
    // ILocalServerControl
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE SetAnswer(BSTR op, LONG value) override;
    HRESULT STDMETHODCALLTYPE SetFailure(BSTR op, LONG hr, BSTR description) override;
    HRESULT STDMETHODCALLTYPE SetChannel(LONG value) override;
    HRESULT STDMETHODCALLTYPE GetLog(BSTR* log) override;
    HRESULT STDMETHODCALLTYPE ClearLog() override;
    HRESULT STDMETHODCALLTYPE GetObjectCount(LONG* count) override;
    HRESULT STDMETHODCALLTYPE Inject(LONG clientId, LONG type, LONG msgClientId, LONG peerId, LONG length,
                                     LONG eventCode, LONG eventParam, LONG extra, VARIANT payload,
                                     LONG* written) override;
    HRESULT STDMETHODCALLTYPE SetEcho(LONG on) override;
    HRESULT STDMETHODCALLTYPE RunDemo(LONG clientId, LONG pausedPeer, LONG pauseMs) override;
    HRESULT STDMETHODCALLTYPE GetRingClients(LONG* count) override;
    HRESULT STDMETHODCALLTYPE SetReading(LONG on) override;
    HRESULT STDMETHODCALLTYPE SetDrainMode(LONG mode) override;
    HRESULT STDMETHODCALLTYPE GetDrainReport(BSTR* report) override;
    HRESULT STDMETHODCALLTYPE HoldWithdrawalForCall(BSTR readyEvent) override;

    HRESULT STDMETHODCALLTYPE Flood(LONG clientId, LONG count, LONG code) override;
    HRESULT STDMETHODCALLTYPE GetProcessId(LONG* pid) override;
    HRESULT STDMETHODCALLTYPE WithdrawClasses() override;

private:
    ~Control() override;

    serverlink::CHandle m_withdrawalReady;  // HoldWithdrawalForCall: handed over when this object goes
};

}  // namespace localserver
