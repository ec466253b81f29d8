// Slot order is a binary contract: each method is called here by its vtable
// index alone, and the reference server's log says which operation ran.
#include <gtest/gtest.h>

#include "localserver.h"
#include "test_support.h"

using namespace testing_support;

namespace {

using Vtbl = void* const*;

template <class Fn>
Fn Slot(void* object, int index) {
    return reinterpret_cast<Fn>((*static_cast<Vtbl*>(object))[index]);
}

class Slots : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.ok()); }
    std::string Last() {
        auto log = server.Log();
        return log.empty() ? "" : log.back();
    }
    ComScope com;
    RefServer server;
};

}  // namespace

TEST_F(Slots, LocalServerOperationsSitAtTheirSlots) {
    IUnknown* unknown = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_LocalServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              S_OK);
    void* s = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_ILocalServer, &s), S_OK);
    unknown->Release();
    using Out1 = HRESULT(STDMETHODCALLTYPE*)(void*, LONG*);
    using InOut1 = HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG*);
    using In2Out = HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG, LONG*);
    using In3Out = HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG, LONG, LONG*);
    using Mode = HRESULT(STDMETHODCALLTYPE*)(void*, LONG, BYTE, LONG*);
    using ModeIn = HRESULT(STDMETHODCALLTYPE*)(void*, LONG, BYTE, LONG, LONG*);
    using ModeIn2 = HRESULT(STDMETHODCALLTYPE*)(void*, LONG, BYTE, LONG, LONG, LONG*);
    using NoArgs = HRESULT(STDMETHODCALLTYPE*)(void*);
    LONG out = 0, channel = 600;
    VARIANT empty;
    VariantInit(&empty);

    EXPECT_EQ(Slot<Out1>(s, 7)(s, &out), S_OK);
    EXPECT_EQ(Last(), "Disconnect");
    EXPECT_EQ(Slot<HRESULT(STDMETHODCALLTYPE*)(void*, VARIANT, LONG*)>(s, 8)(s, empty, &out), S_OK);
    EXPECT_EQ(Last(), "Login {vt=0}");
    EXPECT_EQ(Slot<HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG, USHORT, LONG*)>(s, 9)(s, 1, 2, 65535, &out), S_OK);
    EXPECT_EQ(Last(), "Logout 1 2 65535");
    EXPECT_EQ(Slot<HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG, LONG, LONG, LONG, LONG, LONG*)>(s, 10)(
                  s, 1, 2, 3, 4, 5, 6, &out),
              S_OK);
    EXPECT_EQ(Last(), "Request 1 2 3 4 5 6");
    EXPECT_EQ(Slot<In2Out>(s, 11)(s, 1, 9, &out), S_OK);
    EXPECT_EQ(Last(), "ClosePeer 1 9");
    EXPECT_EQ(Slot<NoArgs>(s, 12)(s), S_OK);
    EXPECT_EQ(Last(), "Reserved12");
    EXPECT_EQ(Slot<InOut1>(s, 13)(s, 3, &out), S_OK);
    EXPECT_EQ(Last(), "QueryA 3");
    EXPECT_EQ(Slot<InOut1>(s, 14)(s, 4, &out), S_OK);
    EXPECT_EQ(Last(), "QueryB 4");
    EXPECT_EQ(Slot<HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG*, LONG*)>(s, 15)(s, 0, &channel, &out), S_OK);
    EXPECT_EQ(Last(), "NegotiateChannel 0 600");
    EXPECT_EQ(Slot<HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG, VARIANT)>(s, 16)(s, 1, 2, empty), S_OK);
    EXPECT_EQ(Last(), "PostBlock 1 2 {vt=0}");
    EXPECT_EQ(Slot<NoArgs>(s, 17)(s), S_OK);
    EXPECT_EQ(Last(), "Reserved17");
    EXPECT_EQ(Slot<HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG, BYTE, LONG*)>(s, 18)(s, 1, 7, 200, &out), S_OK);
    EXPECT_EQ(Last(), "ModeRequest 1 7 200");
    EXPECT_EQ(Slot<In3Out>(s, 19)(s, 1, 2, 3, &out), S_OK);
    EXPECT_EQ(Last(), "PairRequest 1 2 3");
    EXPECT_EQ(Slot<HRESULT(STDMETHODCALLTYPE*)(void*, LONG, BYTE, VARIANT, LONG, LONG*)>(s, 20)(s, 1, 2, empty, 3,
                                                                                                  &out),
              S_OK);
    EXPECT_EQ(Last(), "PostValueList 1 2 {vt=0} 3");
    EXPECT_EQ(Slot<ModeIn2>(s, 21)(s, 1, 2, 3, 4, &out), S_OK);
    EXPECT_EQ(Last(), "ModePairRequest 1 2 3 4");
    EXPECT_EQ(Slot<ModeIn>(s, 22)(s, 1, 2, 3, &out), S_OK);
    EXPECT_EQ(Last(), "ModeValueRequestA 1 2 3");
    EXPECT_EQ(Slot<ModeIn>(s, 23)(s, 1, 2, 3, &out), S_OK);
    EXPECT_EQ(Last(), "ModeValueRequestB 1 2 3");
    EXPECT_EQ(Slot<Mode>(s, 24)(s, 1, 2, &out), S_OK);
    EXPECT_EQ(Last(), "ModeQuery 1 2");
    static_cast<IUnknown*>(s)->Release();
}

TEST_F(Slots, LinkMethodsSitAtTheirSlots) {
    IServerLink* link = nullptr;
    ASSERT_EQ(CreateLink(&link), S_OK);
    void* l = link;
    using NoArgs = HRESULT(STDMETHODCALLTYPE*)(void*);
    using One = HRESULT(STDMETHODCALLTYPE*)(void*, LONG);
    using Two = HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG);
    using Three = HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG, LONG);
    const LONG values[1] = {0x11223344};
    const BYTE bytes[2] = {0xAB, 0xCD};

    EXPECT_EQ(Slot<One>(l, 3)(l, 0), E_FAIL);  // SignOn with a null record is refused
    EXPECT_EQ(Slot<HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG, LONG, LONG)>(l, 5)(l, 1, 2, 3, 4), S_OK);
    EXPECT_EQ(Last(), "Request 0 1 3 4 21 2");
    EXPECT_EQ(Slot<One>(l, 6)(l, 8), S_OK);
    EXPECT_EQ(Last(), "ClosePeer 0 8");
    EXPECT_EQ(Slot<HRESULT(STDMETHODCALLTYPE*)(void*, ULONG, const BYTE*, ULONG)>(l, 7)(l, 1, bytes, 0), S_OK);
    EXPECT_EQ(Slot<NoArgs>(l, 8)(l), S_OK);
    EXPECT_EQ(Last(), "QueryA 0");
    EXPECT_EQ(Slot<Two>(l, 9)(l, 0, 0), E_FAIL);   // AddSubscriber(null) is refused
    EXPECT_EQ(Slot<Two>(l, 10)(l, 0, 0), E_FAIL);  // RemoveSubscriber of a pair never added
    EXPECT_EQ(Slot<NoArgs>(l, 11)(l), S_OK);
    EXPECT_EQ(Last(), "QueryB 0");
    EXPECT_EQ(Slot<HRESULT(STDMETHODCALLTYPE*)(void*, LONG, const BYTE*, ULONG)>(l, 12)(l, 5, bytes, 2), S_OK);
    EXPECT_EQ(Last(), "PostBlock 0 5 [abcd]");
    EXPECT_EQ(Slot<HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG, LONG, LONG, LONG)>(l, 13)(l, 1, 2, 3, 4, 5), S_OK);
    EXPECT_EQ(Last(), "Request 0 1 3 4 5 2");
    EXPECT_EQ(Slot<One>(l, 14)(l, 6), S_OK);
    EXPECT_EQ(Last(), "ModeRequest 0 6 0");
    EXPECT_EQ(Slot<Two>(l, 15)(l, 6, 7), S_OK);
    EXPECT_EQ(Last(), "PairRequest 0 6 7");
    EXPECT_EQ(Slot<HRESULT(STDMETHODCALLTYPE*)(void*, LONG, const LONG*, ULONG)>(l, 16)(l, 0, values, 1), S_OK);
    EXPECT_EQ(Last(), "PostValueList 0 0 [44332211] 1");
    EXPECT_EQ(Slot<Three>(l, 17)(l, 0, 8, 9), S_OK);
    EXPECT_EQ(Last(), "ModePairRequest 0 0 8 9");
    EXPECT_EQ(Slot<Two>(l, 18)(l, 0, 10), S_OK);
    EXPECT_EQ(Last(), "ModeValueRequestA 0 0 10");
    EXPECT_EQ(Slot<Two>(l, 19)(l, 0, 11), S_OK);
    EXPECT_EQ(Last(), "ModeValueRequestB 0 0 11");
    EXPECT_EQ(Slot<NoArgs>(l, 20)(l), S_OK);
    EXPECT_EQ(Last(), "ModeQuery 0 0");
    EXPECT_EQ(Slot<NoArgs>(l, 4)(l), S_OK);  // SignOff of an object never signed on
    EXPECT_EQ(server.Log().back(), "Disconnect");
    EXPECT_EQ(link->Release(), 0u);
}
