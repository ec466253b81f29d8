// What every call on the local server carries, pinned for both builds: a
// 64-bit client talks to the same server as a 32-bit one, so each method must
// keep its slot and each argument its width. Nothing here runs.
//
// The C view of the interface (CINTERFACE) spells out the vtable as a struct:
// its member offsets are the slot numbers.
#define CINTERFACE
#define COBJMACROS
#include <windows.h>
#include <oaidl.h>

#include <cstddef>
#include <type_traits>

#include "localserver.h"

namespace {

constexpr size_t Slot(size_t offset) { return offset / sizeof(void*); }

static_assert(sizeof(ILocalServerVtbl) == 25 * sizeof(void*), "IUnknown, IDispatch and 18 methods");
static_assert(Slot(offsetof(ILocalServerVtbl, QueryInterface)) == 0);
static_assert(Slot(offsetof(ILocalServerVtbl, Release)) == 2);
static_assert(Slot(offsetof(ILocalServerVtbl, GetTypeInfoCount)) == 3);
static_assert(Slot(offsetof(ILocalServerVtbl, Invoke)) == 6);
static_assert(Slot(offsetof(ILocalServerVtbl, Disconnect)) == 7);
static_assert(Slot(offsetof(ILocalServerVtbl, Login)) == 8);
static_assert(Slot(offsetof(ILocalServerVtbl, Logout)) == 9);
static_assert(Slot(offsetof(ILocalServerVtbl, Request)) == 10);
static_assert(Slot(offsetof(ILocalServerVtbl, ClosePeer)) == 11);
static_assert(Slot(offsetof(ILocalServerVtbl, Reserved12)) == 12);
static_assert(Slot(offsetof(ILocalServerVtbl, QueryA)) == 13);
static_assert(Slot(offsetof(ILocalServerVtbl, QueryB)) == 14);
static_assert(Slot(offsetof(ILocalServerVtbl, NegotiateChannel)) == 15);
static_assert(Slot(offsetof(ILocalServerVtbl, PostBlock)) == 16);
static_assert(Slot(offsetof(ILocalServerVtbl, Reserved17)) == 17);
static_assert(Slot(offsetof(ILocalServerVtbl, ModeRequest)) == 18);
static_assert(Slot(offsetof(ILocalServerVtbl, PairRequest)) == 19);
static_assert(Slot(offsetof(ILocalServerVtbl, PostValueList)) == 20);
static_assert(Slot(offsetof(ILocalServerVtbl, ModePairRequest)) == 21);
static_assert(Slot(offsetof(ILocalServerVtbl, ModeValueRequestA)) == 22);
static_assert(Slot(offsetof(ILocalServerVtbl, ModeValueRequestB)) == 23);
static_assert(Slot(offsetof(ILocalServerVtbl, ModeQuery)) == 24);

// The argument lists, as the DLL's calls fill them.
template <class Member, class Fn>
constexpr bool Is = std::is_same_v<std::remove_pointer_t<Member>, Fn>;
using S = ILocalServer*;
static_assert(Is<decltype(ILocalServerVtbl::Disconnect), HRESULT __stdcall(S, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::Login), HRESULT __stdcall(S, VARIANT, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::Logout), HRESULT __stdcall(S, LONG, LONG, USHORT, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::Request), HRESULT __stdcall(S, LONG, LONG, LONG, LONG, LONG, LONG, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::ClosePeer), HRESULT __stdcall(S, LONG, LONG, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::Reserved12), HRESULT __stdcall(S)>);
static_assert(Is<decltype(ILocalServerVtbl::QueryA), HRESULT __stdcall(S, LONG, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::QueryB), HRESULT __stdcall(S, LONG, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::NegotiateChannel), HRESULT __stdcall(S, LONG, LONG*, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::PostBlock), HRESULT __stdcall(S, LONG, LONG, VARIANT)>);
static_assert(Is<decltype(ILocalServerVtbl::Reserved17), HRESULT __stdcall(S)>);
static_assert(Is<decltype(ILocalServerVtbl::ModeRequest), HRESULT __stdcall(S, LONG, LONG, BYTE, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::PairRequest), HRESULT __stdcall(S, LONG, LONG, LONG, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::PostValueList), HRESULT __stdcall(S, LONG, BYTE, VARIANT, LONG, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::ModePairRequest), HRESULT __stdcall(S, LONG, BYTE, LONG, LONG, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::ModeValueRequestA), HRESULT __stdcall(S, LONG, BYTE, LONG, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::ModeValueRequestB), HRESULT __stdcall(S, LONG, BYTE, LONG, LONG*)>);
static_assert(Is<decltype(ILocalServerVtbl::ModeQuery), HRESULT __stdcall(S, LONG, BYTE, LONG*)>);

// The widths behind those names: LONG stays 32 bits on 64-bit Windows.
static_assert(sizeof(LONG) == 4 && sizeof(USHORT) == 2 && sizeof(BYTE) == 1);
// Byte blocks travel as a VARIANT holding a one-dimensional SAFEARRAY of bytes;
// the VARIANT's own size differs by bitness, its marshalled form does not.
static_assert(VT_ARRAY == 0x2000 && VT_UI1 == 17);

}  // namespace
