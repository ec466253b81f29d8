// A link object whose local server cannot be started: it is handed out all the
// same, and every server-bound method refuses with E_FAIL without side effects.
#include <gtest/gtest.h>

#include <string>

#include "localserver.h"
#include "sinks.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// The registered reference server's command line, from whichever registry view
// holds it: the x64 tests share the x86 tree's 32-bit server, as 64-bit clients
// on Windows do, and must switch that one, not the 64-bit build beside them.
std::wstring RegisteredServer() {
    wchar_t clsid[64] = L"";
    StringFromGUID2(CLSID_LocalServer, clsid, 64);
    const std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\LocalServer32";
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY opened = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS)
            continue;
        wchar_t value[MAX_PATH + 8] = L"";
        DWORD size = sizeof(value) - sizeof(wchar_t), type = 0;
        const LONG read = RegQueryValueExW(opened, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(opened);
        if (read == ERROR_SUCCESS && type == REG_SZ) return value;
    }
    return {};
}

bool RunServerSwitch(const std::wstring& server, const wchar_t* sw) {
    if (server.empty()) return false;
    std::wstring cmd = server + L" " + sw;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    WaitForSingleObject(pi.hProcess, kPatienceMs);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code == 0;
}

void ExpectEveryServerBoundMethodFails(IServerLink* link) {
    SignOnRecord rec{};
    rec.version = 2;
    rec.clientId = 1234;
    const BYTE bytes[4] = {1, 2, 3, 4};
    const LONG values[2] = {1, 2};
    CountingSink sink;
    EXPECT_EQ(link->SignOn(&rec), E_FAIL);
    EXPECT_EQ(link->SignOff(), E_FAIL);
    EXPECT_EQ(link->RequestDefault(1, 2, 3, 4), E_FAIL);
    EXPECT_EQ(link->ClosePeer(1), E_FAIL);
    EXPECT_EQ(link->QueryA(), E_FAIL);
    EXPECT_EQ(link->AddSubscriber(&sink, 0), E_FAIL);
    EXPECT_EQ(link->RemoveSubscriber(&sink, 0), E_FAIL);
    EXPECT_EQ(link->QueryB(), E_FAIL);
    EXPECT_EQ(link->PostBlock(1, bytes, 4), E_FAIL);
    EXPECT_EQ(link->Request(1, 2, 3, 4, 5), E_FAIL);
    EXPECT_EQ(link->ModeRequest(1), E_FAIL);
    EXPECT_EQ(link->PairRequest(1, 2), E_FAIL);
    EXPECT_EQ(link->PostValueList(0, values, 2), E_FAIL);
    EXPECT_EQ(link->ModePairRequest(0, 1, 2), E_FAIL);
    EXPECT_EQ(link->ModeValueRequestA(0, 1), E_FAIL);
    EXPECT_EQ(link->ModeValueRequestB(0, 1), E_FAIL);
    EXPECT_EQ(link->ModeQuery(), E_FAIL);
    // No outgoing ring: a packet is refused, an empty one is a no-op.
    EXPECT_EQ(link->SendData(1, bytes, 4), E_FAIL);
    EXPECT_EQ(link->SendData(1, bytes, 0), S_OK);
    EXPECT_EQ(sink.Events() + sink.Data(), 0u);
}

}  // namespace

TEST(Unconnected, ServerBoundMethodsFailAndIdentityStillWorks) {
    ComScope com;
    const std::wstring server = RegisteredServer();
    ASSERT_TRUE(RunServerSwitch(server, L"/UnregServer")) << "no registered server to switch";
    struct Reregister {
        const std::wstring& server;
        ~Reregister() { RunServerSwitch(server, L"/RegServer"); }
    } reregister{server};

    // A server still running from an earlier test keeps its class reachable
    // until it exits on its own; wait for an object that cannot connect.
    IServerLink* link = nullptr;
    HRESULT created = S_OK;
    const bool refused = WaitFor([&] {
        if (link != nullptr) link->Release();
        link = nullptr;
        created = CreateLink(&link);
        return created != S_OK || link->QueryA() == E_FAIL;
    });
    ASSERT_EQ(created, S_OK);  // creation never fails
    ASSERT_TRUE(refused) << "the local server stayed reachable after unregistration";

    IUnknown* unk = nullptr;
    EXPECT_EQ(link->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    EXPECT_EQ(unk->Release(), 1u);
    EXPECT_EQ(link->AddRef(), 2u);
    EXPECT_EQ(link->Release(), 1u);

    ExpectEveryServerBoundMethodFails(link);
    RunOnThread([&] { ExpectEveryServerBoundMethodFails(link); });
    EXPECT_EQ(link->Release(), 0u);
}
