// The serial port layer: eight operations over an open port handle.
#pragma once

#include <cstdint>

#include "zelfx/zelfx.h"

namespace zel::serial {

// A port handle as kept in PortContext.handle. 0 never names an open port.
using Handle = uint32_t;

// Result codes of the layer.
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kOpenFailed = 1;      // SerOpen: open or time-outs failed
inline constexpr int32_t kDrainFailed = 1;     // SerPurgeInput: last drain read failed
inline constexpr int32_t kShortWrite = 2;      // SerWrite: fewer bytes written
inline constexpr int32_t kGetStateFailed = 4;  // SerOpen: reading settings failed
inline constexpr int32_t kSetStateFailed = 5;  // SerOpen: settings refused
inline constexpr int32_t kIoFailed = 7;        // SerClose/SerWrite/SerRead

int32_t SerOpen(const char* portName, const LineParams* line, uint16_t controlFlags,
                Handle* handle);
int32_t SerClose(Handle handle);
int32_t SerSetReadTimeout(Handle handle, int32_t timeout);
int32_t SerPurgeInput(Handle handle);
int32_t SerSendBreak(uint32_t durationMs, Handle handle);
int32_t SerWrite(Handle handle, const void* bytes, uint32_t length, uint32_t* written);
int32_t SerRead(Handle handle, void* buffer, uint16_t wanted, uint32_t* received);
int32_t SerDelay(uint32_t durationMs);

}  // namespace zel::serial
