#pragma once
#include <cstdint>

#include "../shm/shm_message.h"

namespace serverlink {

// What an incoming record turns into. Pointers point into the record handed to
// DecodeRecord and are valid only during the call.
class IRecordReceiver {
public:
    virtual void HandleEvent(uint32_t id, int32_t code, intptr_t param, int32_t extra) = 0;
    virtual void HandleData(uint32_t id, const uint8_t* data, uint32_t length, int32_t extra) = 0;

protected:
    ~IRecordReceiver() = default;
};

// Decodes one record that was copied out of an incoming ring:
//   event (7)      -> HandleEvent(peerId, eventCode, eventParam, extra)
//   peer data (8)  -> HandleData(peerId, payload, length, extra)
//   notice (9, 10) -> HandleEvent(clientId, code 8 or 9, address of payload, length)
// Any other type is ignored. The length comes from another process and is cut
// to the payload that exists.
void DecodeRecord(const ShmMessage& msg, IRecordReceiver& receiver);

}  // namespace serverlink
