#pragma once
#include <cstddef>
#include <cstdint>

#include "../../include/serverlink.h"

namespace serverlink {

#pragma pack(push, 1)
// The record sent to the local server at sign-on. Every field but the address
// carries the sign-on record's field of the same name (its offset there on the
// right): up to `mode` in the same order, then the long-form fields first.
struct LoginRecord {
    uint8_t version;        //   0  from   0
    uint32_t clientId;      //   1  from   1
    uint32_t dword5;        //   5  from   5
    uint16_t word9;         //   9  from   9
    uint32_t ipv4Address;   //  11  127.0.0.1, network byte order
    uint16_t channelId;     //  15  from  15, the negotiated channel
    uint8_t block17[128];   //  17  from  17
    uint16_t word145;       // 145  from 145
    uint8_t block147[128];  // 147  from 147
    uint16_t word275;       // 275  from 275
    uint8_t block277[128];  // 277  from 277
    uint32_t dword405;      // 405  from 405
    uint8_t block409[128];  // 409  from 409
    uint32_t dword537;      // 537  from 537
    uint8_t byte541;        // 541  from 541
    uint8_t mode;           // 542  from 542
    uint8_t byte812;        // 543  from 812 (long form only, else 0)
    uint8_t block813[128];  // 544  from 813 (long form only, else 0)
    uint16_t word941;       // 672  from 941 (long form only, else 0)
    uint8_t byte543;        // 674  from 543
    uint8_t block544[128];  // 675  from 544
    uint16_t word672;       // 803  from 672
    uint8_t block674[64];   // 805  from 674
    uint8_t block738[64];   // 869  from 738
};
#pragma pack(pop)

constexpr uint32_t kLoginRecordSize = 933;
static_assert(sizeof(LoginRecord) == kLoginRecordSize, "LoginRecord is 933 bytes");
static_assert(offsetof(LoginRecord, clientId) == 1, "");
static_assert(offsetof(LoginRecord, dword5) == 5, "");
static_assert(offsetof(LoginRecord, word9) == 9, "");
static_assert(offsetof(LoginRecord, ipv4Address) == 11, "");
static_assert(offsetof(LoginRecord, channelId) == 15, "");
static_assert(offsetof(LoginRecord, block17) == 17, "");
static_assert(offsetof(LoginRecord, word145) == 145, "");
static_assert(offsetof(LoginRecord, block147) == 147, "");
static_assert(offsetof(LoginRecord, word275) == 275, "");
static_assert(offsetof(LoginRecord, block277) == 277, "");
static_assert(offsetof(LoginRecord, dword405) == 405, "");
static_assert(offsetof(LoginRecord, block409) == 409, "");
static_assert(offsetof(LoginRecord, dword537) == 537, "");
static_assert(offsetof(LoginRecord, byte541) == 541, "");
static_assert(offsetof(LoginRecord, mode) == 542, "");
static_assert(offsetof(LoginRecord, byte812) == 543, "");
static_assert(offsetof(LoginRecord, block813) == 544, "");
static_assert(offsetof(LoginRecord, word941) == 672, "");
static_assert(offsetof(LoginRecord, byte543) == 674, "");
static_assert(offsetof(LoginRecord, block544) == 675, "");
static_assert(offsetof(LoginRecord, word672) == 803, "");
static_assert(offsetof(LoginRecord, block674) == 805, "");
static_assert(offsetof(LoginRecord, block738) == 869, "");

// Reads a caller's sign-on record into a zero-filled 943-byte copy: 812 bytes
// for version 0 or 1, all 943 otherwise. The caller's buffer is only read.
void ReadSignOnRecord(const void* record, SignOnRecord& copy);

// Accepts the copy when dword405 and dword537 are at most 128 (unsigned).
bool ValidateSignOnRecord(const SignOnRecord& copy);

// The sink a record names at offset 808, or null. Four bytes cannot hold a
// 64-bit pointer: there the field must be 0 (the client subscribes its sink
// itself), and SinkFieldUsable tells a record that breaks the rule, whose field
// is never turned into a pointer.
#ifndef _WIN64
inline IEventSink* RecordSink(const SignOnRecord& copy) { return copy.eventSink; }
inline bool SinkFieldUsable(const SignOnRecord&) { return true; }
#else
inline IEventSink* RecordSink(const SignOnRecord&) { return nullptr; }
inline bool SinkFieldUsable(const SignOnRecord& copy) { return copy.eventSink == 0; }
#endif

// Builds the login record from the object's copy. `ipv4Address` is stored as
// given (network byte order, as inet_addr returns it).
void BuildLoginRecord(const SignOnRecord& copy, uint32_t ipv4Address, LoginRecord& login);

}  // namespace serverlink
