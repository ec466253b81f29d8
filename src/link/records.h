#pragma once
#include <cstddef>
#include <cstdint>

#include "../../include/serverlink.h"

namespace serverlink {

#pragma pack(push, 1)
// The record sent to the local server at sign-on. Up to `mode` it follows the
// sign-on record; from offset 543 the long-form fields come first.
struct LoginRecord {
    uint8_t version;        //   0
    uint32_t clientId;      //   1
    uint32_t dword5;        //   5
    uint16_t word9;         //   9
    uint32_t ipv4Address;   //  11  network byte order
    uint16_t channelId;     //  15  the negotiated channel
    uint8_t block17[128];   //  17
    uint16_t word145;       // 145
    uint8_t block147[128];  // 147
    uint16_t word275;       // 275
    uint8_t block277[128];  // 277
    uint32_t dword405;      // 405
    uint8_t block409[128];  // 409
    uint32_t dword537;      // 537
    uint8_t byte541;        // 541
    uint8_t mode;           // 542
    uint8_t byte812;        // 543
    uint8_t block813[128];  // 544
    uint16_t word941;       // 672
    uint8_t byte543;        // 674
    uint8_t block544[128];  // 675
    uint16_t word672;       // 803
    uint8_t block674[64];   // 805
    uint8_t block738[64];   // 869
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

// Builds the login record from the object's copy. `ipv4Address` is stored as
// given (network byte order, as inet_addr returns it).
void BuildLoginRecord(const SignOnRecord& copy, uint32_t ipv4Address, LoginRecord& login);

}  // namespace serverlink
