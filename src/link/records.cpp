#include "records.h"

#include <cstring>

namespace serverlink {

void ReadSignOnRecord(const void* record, SignOnRecord& copy) {
    std::memset(&copy, 0, sizeof(copy));
    const uint8_t version = *static_cast<const uint8_t*>(record);
    const size_t size = version <= 1 ? SIGNON_RECORD_SHORT_SIZE : SIGNON_RECORD_LONG_SIZE;
    std::memcpy(&copy, record, size);
}

bool ValidateSignOnRecord(const SignOnRecord& copy) {
    constexpr uint32_t kMaxCount = 128;  // the most dword405 and dword537 may hold
    return copy.dword405 <= kMaxCount && copy.dword537 <= kMaxCount;
}

void BuildLoginRecord(const SignOnRecord& s, uint32_t ipv4Address, LoginRecord& l) {
    std::memset(&l, 0, sizeof(l));
    l.version = s.version;
    l.clientId = s.clientId;
    l.dword5 = s.dword5;
    l.word9 = s.word9;
    l.ipv4Address = ipv4Address;
    l.channelId = s.channelId;
    std::memcpy(l.block17, s.block17, sizeof(l.block17));
    l.word145 = s.word145;
    std::memcpy(l.block147, s.block147, sizeof(l.block147));
    l.word275 = s.word275;
    std::memcpy(l.block277, s.block277, sizeof(l.block277));
    l.dword405 = s.dword405;
    std::memcpy(l.block409, s.block409, sizeof(l.block409));
    l.dword537 = s.dword537;
    l.byte541 = s.byte541;
    l.mode = s.mode;
    l.byte812 = s.byte812;
    std::memcpy(l.block813, s.block813, sizeof(l.block813));
    l.word941 = s.word941;
    l.byte543 = s.byte543;
    std::memcpy(l.block544, s.block544, sizeof(l.block544));
    l.word672 = s.word672;
    std::memcpy(l.block674, s.block674, sizeof(l.block674));
    std::memcpy(l.block738, s.block738, sizeof(l.block738));
}

}  // namespace serverlink
