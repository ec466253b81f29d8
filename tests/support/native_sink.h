#pragma once
// The client's callback interface for programs built without windows.h (the
// native tier): the same two slots as IEventSink in include/serverlink.h, with
// plain types of the same width on 32-bit Windows. Never include it beside
// serverlink.h.
#include <cstdint>

struct IEventSink {
    virtual int32_t OnEvent(uint32_t id, int32_t code, intptr_t param, int32_t extra) = 0;
    virtual int32_t OnData(uint32_t id, const uint8_t* data, uint32_t length, int32_t extra) = 0;

protected:
    ~IEventSink() = default;
};
