#include "server_connection.h"

namespace serverlink {

CServerConnection::CServerConnection() {
    // First, so that the MTA outlives a proxy made there on a thread that
    // joins it only for this constructor.
    if (!MtaAcquire()) return;
    m_bMtaHeld = true;
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    if (CoGetApartmentType(&type, &qualifier) == S_OK && (type == APTTYPE_STA || type == APTTYPE_MAINSTA)) {
        // A thread in a single-threaded apartment owns the link: its proxy is
        // made here, and the MTA gets one of its own from it.
        ILocalServerPtr server = Create();
        if (server && ShareWithMta(server)) {
            m_bConnected = true;
            m_owner.Enter(server.Detach());
        }
        return;  // `server`, if still held, goes in its own apartment
    }
    // Outside COM or in the MTA: the object is made in the MTA, where every
    // thread's calls go, and the thread is left as it was.
    auto create = [&] { m_spShared = Create(); };
    m_bConnected = RunInMta(create) && m_spShared;
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
