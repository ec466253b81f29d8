// serverlink_codes.h - the event codes, bits and sizes that carry a meaning of
// their own to the server link DLL. Plain integer types only, so that programs built
// without windows.h (tools, native tests) name them the same way.
#ifndef SERVERLINK_CODES_H
#define SERVERLINK_CODES_H

#include <stdint.h>

// Event codes with a meaning of their own to the DLL.
enum ServerLinkEventCode : int32_t {
    SERVERLINK_EVENT_PEER_GONE_A = 3,              // peer forgotten; sinks are told
    SERVERLINK_EVENT_PEER_GONE_B = 4,              // peer forgotten; sinks are told
    SERVERLINK_EVENT_SCRAMBLED = 5,                // param arrives descrambled
    SERVERLINK_EVENT_NOTICE_A = 8,                 // from a type-9 message: param = payload address, extra = length
    SERVERLINK_EVENT_NOTICE_B = 9,                 // from a type-10 message: param = payload address, extra = length
    SERVERLINK_EVENT_INTERNAL_A = 10,              // consumed by the DLL; never delivered
    SERVERLINK_EVENT_INTERNAL_B = 11,              // consumed by the DLL; never delivered
    SERVERLINK_EVENT_PAUSE = (int32_t)0xFFFF0000,  // SendData to the peer fails until resumed; not delivered
    SERVERLINK_EVENT_RESUME = (int32_t)0xFFFF0001  // not delivered
};

// Largest data packet SendData accepts and OnData delivers: the payload of one
// ring record.
#define SERVERLINK_MAX_DATA 1280u

// Bit of a code-5 event's extra that makes the peer known (and ready) to the DLL.
#define SERVERLINK_EXTRA_PEER_READY 0x00080000u

#endif  // SERVERLINK_CODES_H
