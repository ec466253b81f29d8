#include "server_connection.h"

namespace serverlink {

CServerConnection::CServerConnection() {
    const HRESULT hrInit = CoInitialize(nullptr);
    ILocalServerPtr server = Create();
    if (server && MtaAcquire()) {
        m_bMtaHeld = true;
        if (hrInit == RPC_E_CHANGED_MODE) {
            // The creating thread is in the MTA: its proxy is the shared one.
            m_spShared = server;
            m_bConnected = true;
        } else {
            m_bConnected = ShareWithMta(server);
            // A thread that was in a single-threaded apartment before owns the
            // link; one that only this constructor brought into COM does not:
            // the thread calls as any other, and nothing holds it in COM.
            if (m_bConnected && hrInit == S_FALSE) m_owner.Enter(server.Detach());
        }
    }
    server = nullptr;  // in its own apartment, before this thread leaves it
    if (SUCCEEDED(hrInit)) CoUninitialize();
}

CServerConnection::~CServerConnection() {
    m_owner.Leave();
    if (m_spShared) {
        auto release = [&] { m_spShared = nullptr; };
        // Where the MTA cannot be reached, the proxy is left rather than
        // released in a foreign apartment.
        if (!RunInMta(release)) m_spShared.Detach();
    }
    if (m_bMtaHeld) MtaRelease();
}

ILocalServerPtr CServerConnection::Create() {
    ILocalServerPtr server;
    try {
        IUnknownPtr unknown;
        if (CoCreateInstance(CLSID_LocalServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&unknown)) != S_OK ||
            !unknown)
            return nullptr;
        if (OleRun(unknown) != S_OK) return nullptr;
        if (unknown->QueryInterface(IID_ILocalServer, reinterpret_cast<void**>(&server)) != S_OK) return nullptr;
    } catch (...) {
        return nullptr;  // an unusable server: the link is handed out unconnected
    }
    return server;
}

bool CServerConnection::ShareWithMta(ILocalServer* server) {
    // A normal marshal packet: always allowed for a proxy, and used up by the one
    // unmarshal below, which runs in the MTA.
    IStreamPtr stream;
    if (CoMarshalInterThreadInterfaceInStream(IID_ILocalServer, server, &stream) != S_OK || !stream)
        return false;
    HRESULT unmarshalled = E_FAIL;
    auto unmarshal = [&] {
        // Releases the stream, whatever the result.
        unmarshalled =
            CoGetInterfaceAndReleaseStream(stream.Detach(), IID_ILocalServer, reinterpret_cast<void**>(&m_spShared));
    };
    if (!RunInMta(unmarshal)) {
        // Gives the packet's references back where the platform can (a packet
        // of a proxy may not allow it: then the server keeps them until this
        // process ends).
        CoReleaseMarshalData(stream);
        return false;
    }
    if (unmarshalled != S_OK || !m_spShared) {
        auto drop = [&] { m_spShared = nullptr; };
        RunInMta(drop);
        return false;
    }
    return true;
}

}  // namespace serverlink
