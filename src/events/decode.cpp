#include "decode.h"

#include "../../include/serverlink_codes.h"

namespace serverlink {

namespace {

uint32_t PayloadLength(const ShmMessage& msg) { return msg.length > kMaxPayload ? kMaxPayload : msg.length; }

}  // namespace

void DecodeRecord(const ShmMessage& msg, IRecordReceiver& receiver) {
    switch (msg.type) {
        case kMsgEvent:
            receiver.HandleEvent(msg.peerId, msg.eventCode, msg.eventParam, msg.extra);
            break;
        case kMsgPeerData:
            receiver.HandleData(msg.peerId, msg.payload, PayloadLength(msg), msg.extra);
            break;
        case kMsgNoticeA:
            receiver.HandleEvent(msg.clientId, SERVERLINK_EVENT_NOTICE_A, reinterpret_cast<intptr_t>(msg.payload),
                                   static_cast<int32_t>(PayloadLength(msg)));
            break;
        case kMsgNoticeB:
            receiver.HandleEvent(msg.clientId, SERVERLINK_EVENT_NOTICE_B, reinterpret_cast<intptr_t>(msg.payload),
                                   static_cast<int32_t>(PayloadLength(msg)));
            break;
        default:
            break;
    }
}

}  // namespace serverlink
