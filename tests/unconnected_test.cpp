// A link object whose local server cannot be started: it is handed out all the
// same, and every server-bound method refuses with E_FAIL without side effects.
#include <gtest/gtest.h>

#include "sinks.h"
#include "test_support.h"

using namespace testing_support;

namespace {

bool RunServerSwitch(const wchar_t* sw) {
    std::wstring cmd = L"\"" + BesideExe(L"localserver.exe") + L"\" " + sw;
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
    ASSERT_TRUE(RunServerSwitch(L"/UnregServer"));
    struct Reregister {
        ~Reregister() { RunServerSwitch(L"/RegServer"); }
    } reregister;

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
