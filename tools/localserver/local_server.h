#pragma once
#include <windows.h>

#include "com_support.h"
#include "localserver.h"
#include "rings.h"

namespace localserver {

// One LocalServer object: logs every call and answers as scripted in ServerState.
// It also stands for one client's sign-on: the channel it negotiated and, after
// a successful Login, that client's ring pair. Both end with Logout, Disconnect
// or the object itself. Used on the server's apartment thread only.
class LocalServer final : public ServerObject<ILocalServer, kServerTypeLib> {
public:
    LocalServer();

    // ILocalServer
    HRESULT STDMETHODCALLTYPE Disconnect(LONG* result) override;
    HRESULT STDMETHODCALLTYPE Login(VARIANT loginRecord, LONG* status) override;
    HRESULT STDMETHODCALLTYPE Logout(LONG clientId, LONG dword11, unsigned short channelId, LONG* status) override;
    HRESULT STDMETHODCALLTYPE Request(LONG clientId, LONG v1, LONG v2, LONG v3, LONG v4, LONG v5,
                                      LONG* status) override;
    HRESULT STDMETHODCALLTYPE ClosePeer(LONG clientId, LONG peerId, LONG* status) override;
    HRESULT STDMETHODCALLTYPE Reserved12() override;
    HRESULT STDMETHODCALLTYPE QueryA(LONG clientId, LONG* value) override;
    HRESULT STDMETHODCALLTYPE QueryB(LONG clientId, LONG* value) override;
    HRESULT STDMETHODCALLTYPE NegotiateChannel(LONG reserved, LONG* channel, LONG* status) override;
    HRESULT STDMETHODCALLTYPE PostBlock(LONG clientId, LONG value, VARIANT block) override;
    HRESULT STDMETHODCALLTYPE Reserved17() override;
    HRESULT STDMETHODCALLTYPE ModeRequest(LONG clientId, LONG value, unsigned char mode, LONG* status) override;
    HRESULT STDMETHODCALLTYPE PairRequest(LONG clientId, LONG a, LONG b, LONG* status) override;
    HRESULT STDMETHODCALLTYPE PostValueList(LONG clientId, unsigned char mode, VARIANT values, LONG count,
                                            LONG* status) override;
    HRESULT STDMETHODCALLTYPE ModePairRequest(LONG clientId, unsigned char mode, LONG a, LONG b, LONG* status) override;
    HRESULT STDMETHODCALLTYPE ModeValueRequestA(LONG clientId, unsigned char mode, LONG value, LONG* status) override;
    HRESULT STDMETHODCALLTYPE ModeValueRequestB(LONG clientId, unsigned char mode, LONG value, LONG* status) override;
    HRESULT STDMETHODCALLTYPE ModeQuery(LONG clientId, unsigned char mode, LONG* status) override;

private:
    ~LocalServer() override;

    // Drops the channel reservation and closes the rings.
    void EndSignOn();

    ChannelLease m_channel;
    RingAttachment m_rings;
};

}  // namespace localserver
