// serverlink.h - what a client compiles against to use the server link DLL.
//
// The DLL serves one COM class. Create it with CoCreateInstance(CLSID_ServerLink,
// NULL, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link)) and call it directly from any
// of your threads. Events and data arrive on the DLL's receive thread through the
// IEventSink objects you subscribe.
//
// The interface carries its IID, so __uuidof(IServerLink), IID_PPV_ARGS,
// _COM_SMARTPTR_TYPEDEF (comdef.h) and WRL's ComPtr work with MSVC, MinGW g++ and
// clang. CLSID_ServerLink and IID_IServerLink are selectany definitions: include
// this header in as many translation units as you like, no initguid.h needed.
// Ask for IServerLink itself: the class refuses IID_IUnknown at creation, so a
// smart pointer's CreateInstance needs CLSCTX_INPROC_SERVER (CLSCTX_ALL asks for
// IUnknown first).
#ifndef SERVERLINK_H
#define SERVERLINK_H

#include <windows.h>
#include <objbase.h>
#include <stddef.h>

#include "serverlink_codes.h"

// {E33E6614-4B84-4956-A45C-AA9FDCBC2233}: the class the DLL registers under.
// The DLL's class factory serves this class whatever CLSID it is asked for.
EXTERN_C const CLSID DECLSPEC_SELECTANY CLSID_ServerLink =
    {0xE33E6614, 0x4B84, 0x4956, {0xA4, 0x5C, 0xAA, 0x9F, 0xDC, 0xBC, 0x22, 0x33}};

// {1102EC7D-46B9-4822-AABE-4571F88400E8}
EXTERN_C const IID DECLSPEC_SELECTANY IID_IServerLink =
    {0x1102EC7D, 0x46B9, 0x4822, {0xAA, 0xBE, 0x45, 0x71, 0xF8, 0x84, 0x00, 0xE8}};

// Results produced by the DLL itself. Any other value a method returns is the
// local server's own 32-bit status, passed through unchanged (0 = accepted).
enum ServerLinkStatus : LONG {
    SERVERLINK_S_OK = 0,
    SERVERLINK_E_FAIL = (LONG)0x80004005,
    SERVERLINK_E_NOINTERFACE = (LONG)0x80004002,
    SERVERLINK_E_NOTIMPL = (LONG)0x80004001,
    SERVERLINK_E_OUTOFMEMORY = (LONG)0x8007000E,
    SERVERLINK_CLASS_E_NOAGGREGATION = (LONG)0x80040110,
    // 64-bit only: SignOn with a record whose eventSink field is not 0.
    SERVERLINK_E_INVALIDARG = (LONG)0x80070057,
};

// Callback object implemented by the client. It has no IUnknown part: the DLL
// holds it by raw pointer and never adds or releases references, so remove every
// subscription of a sink (or sign off) before destroying it. Both methods are
// called on the DLL's receive thread; return values are ignored. Pointers passed
// in are valid only until the method returns.
struct IEventSink {
    // id: the peer (or client) the event concerns; for codes 8 and 9, param is the
    // address of the notice bytes and extra their length.
    virtual HRESULT STDMETHODCALLTYPE OnEvent(ULONG id, LONG code, LONG_PTR param, LONG extra) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnData(ULONG id, const BYTE* data, ULONG length, LONG extra) = 0;
};

#pragma pack(push, 1)
// The client's sign-on record. Byte-packed; integers little-endian. A version of
// 0 or 1 marks the short form: only the first 812 bytes (up to and including
// eventSink) are read. Any other version reads all 943 bytes. The same bytes on
// 32-bit and 64-bit Windows: see eventSink.
struct SignOnRecord {
    BYTE version;           //   0
    DWORD clientId;         //   1
    DWORD dword5;           //   5
    WORD word9;             //   9
    DWORD dword11;          //  11  passed to the server at sign-off
    WORD channelId;         //  15  overwritten with the negotiated channel
    BYTE block17[128];      //  17
    WORD word145;           // 145
    BYTE block147[128];     // 147
    WORD word275;           // 275
    BYTE block277[128];     // 277
    DWORD dword405;         // 405  at most 128
    BYTE block409[128];     // 409
    DWORD dword537;         // 537  at most 128
    BYTE byte541;           // 541
    BYTE mode;              // 542
    BYTE byte543;           // 543
    BYTE block544[128];     // 544
    WORD word672;           // 672
    BYTE block674[64];      // 674
    BYTE block738[64];      // 738
    BYTE spare802[6];       // 802  not read
#ifndef _WIN64
    IEventSink* eventSink;  // 808  subscribed under key 0 at sign-on; may be NULL
#else
    // 64-BIT CLIENTS: a pointer does not fit in these 4 bytes, so this field must
    // be 0. Subscribe the sign-on sink yourself, before SignOn, with
    // link->AddSubscriber(sink, 0); SignOn refuses a non-zero field with
    // E_INVALIDARG and changes nothing. (SignOff still removes every subscriber.)
    DWORD eventSink;        // 808  must be 0
#endif
    // Long form only (version >= 2):
    BYTE byte812;           // 812
    BYTE block813[128];     // 813
    WORD word941;           // 941
};
#pragma pack(pop)

#define SIGNON_RECORD_SHORT_SIZE 812u
#define SIGNON_RECORD_LONG_SIZE 943u

static_assert(sizeof(SignOnRecord) == SIGNON_RECORD_LONG_SIZE, "SignOnRecord long form");
static_assert(offsetof(SignOnRecord, eventSink) + 4 == SIGNON_RECORD_SHORT_SIZE, "SignOnRecord short form");
static_assert(offsetof(SignOnRecord, version) == 0, "");
static_assert(offsetof(SignOnRecord, clientId) == 1, "");
static_assert(offsetof(SignOnRecord, dword5) == 5, "");
static_assert(offsetof(SignOnRecord, word9) == 9, "");
static_assert(offsetof(SignOnRecord, dword11) == 11, "");
static_assert(offsetof(SignOnRecord, channelId) == 15, "");
static_assert(offsetof(SignOnRecord, block17) == 17, "");
static_assert(offsetof(SignOnRecord, word145) == 145, "");
static_assert(offsetof(SignOnRecord, block147) == 147, "");
static_assert(offsetof(SignOnRecord, word275) == 275, "");
static_assert(offsetof(SignOnRecord, block277) == 277, "");
static_assert(offsetof(SignOnRecord, dword405) == 405, "");
static_assert(offsetof(SignOnRecord, block409) == 409, "");
static_assert(offsetof(SignOnRecord, dword537) == 537, "");
static_assert(offsetof(SignOnRecord, byte541) == 541, "");
static_assert(offsetof(SignOnRecord, mode) == 542, "");
static_assert(offsetof(SignOnRecord, byte543) == 543, "");
static_assert(offsetof(SignOnRecord, block544) == 544, "");
static_assert(offsetof(SignOnRecord, word672) == 672, "");
static_assert(offsetof(SignOnRecord, block674) == 674, "");
static_assert(offsetof(SignOnRecord, block738) == 738, "");
static_assert(offsetof(SignOnRecord, spare802) == 802, "");
static_assert(offsetof(SignOnRecord, eventSink) == 808, "");
static_assert(offsetof(SignOnRecord, byte812) == 812, "");
static_assert(offsetof(SignOnRecord, block813) == 813, "");
static_assert(offsetof(SignOnRecord, word941) == 941, "");

// The link object. Every method may be called from any client thread.
MIDL_INTERFACE("1102EC7D-46B9-4822-AABE-4571F88400E8")
IServerLink : public IUnknown {
    // Signs on with a SignOnRecord (812 or 943 readable bytes, by its version).
    // 0 when the server accepted the login, else E_FAIL or the server's status.
    virtual HRESULT STDMETHODCALLTYPE SignOn(const void* record) = 0;                              //  3
    virtual HRESULT STDMETHODCALLTYPE SignOff() = 0;                                               //  4
    virtual HRESULT STDMETHODCALLTYPE RequestDefault(LONG a, LONG b, LONG c, LONG d) = 0;          //  5
    virtual HRESULT STDMETHODCALLTYPE ClosePeer(ULONG peerId) = 0;                                 //  6
    // Queues up to 1280 bytes for a peer. E_FAIL if the peer is paused, the
    // outgoing ring is full or the object is not signed on; 0 bytes is a no-op.
    virtual HRESULT STDMETHODCALLTYPE SendData(ULONG peerId, const BYTE* data, ULONG length) = 0;  //  7
    virtual HRESULT STDMETHODCALLTYPE QueryA() = 0;                                                //  8
    // Key 0 hears every id; any other key hears that id only. At most 100.
    virtual HRESULT STDMETHODCALLTYPE AddSubscriber(IEventSink* sink, ULONG key) = 0;              //  9
    virtual HRESULT STDMETHODCALLTYPE RemoveSubscriber(IEventSink* sink, ULONG key) = 0;           // 10
    virtual HRESULT STDMETHODCALLTYPE QueryB() = 0;                                                // 11
    virtual HRESULT STDMETHODCALLTYPE PostBlock(LONG value, const BYTE* bytes, ULONG count) = 0;   // 12
    virtual HRESULT STDMETHODCALLTYPE Request(LONG a, LONG b, LONG c, LONG d, LONG e) = 0;         // 13
    virtual HRESULT STDMETHODCALLTYPE ModeRequest(LONG value) = 0;                                 // 14
    virtual HRESULT STDMETHODCALLTYPE PairRequest(LONG a, LONG b) = 0;                             // 15
    virtual HRESULT STDMETHODCALLTYPE PostValueList(LONG unused, const LONG* values, ULONG count) = 0; // 16
    virtual HRESULT STDMETHODCALLTYPE ModePairRequest(LONG unused, LONG a, LONG b) = 0;            // 17
    virtual HRESULT STDMETHODCALLTYPE ModeValueRequestA(LONG unused, LONG value) = 0;              // 18
    virtual HRESULT STDMETHODCALLTYPE ModeValueRequestB(LONG unused, LONG value) = 0;              // 19
    virtual HRESULT STDMETHODCALLTYPE ModeQuery() = 0;                                             // 20
};

// The class, for __uuidof(ServerLink).
class DECLSPEC_UUID("E33E6614-4B84-4956-A45C-AA9FDCBC2233") ServerLink;

// MinGW's __uuidof is a template that learns each id here; MSVC reads DECLSPEC_UUID.
#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IServerLink, 0x1102EC7D, 0x46B9, 0x4822, 0xAA, 0xBE, 0x45, 0x71, 0xF8, 0x84, 0x00, 0xE8)
__CRT_UUID_DECL(ServerLink, 0xE33E6614, 0x4B84, 0x4956, 0xA4, 0x5C, 0xAA, 0x9F, 0xDC, 0xBC, 0x22, 0x33)
#endif

#endif  // SERVERLINK_H
