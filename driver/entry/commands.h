// The command handlers that ZelMain dispatches to.
#pragma once

#include <cstdint>

#include "zelfx/zelfx.h"

namespace zel {

// Process-wide ended flag: 1 after EndZel, until the library is reloaded.
extern int32_t driverEnded;

using CommandHandler = int32_t (*)(DrvRequest* request);

int32_t GetZelInfo(DrvRequest* request);
int32_t SingleAddressParser(DrvRequest* request);
int32_t BlockAddressParser(DrvRequest* request);

// Port lifecycle.
int32_t ColdStart(DrvRequest* request);
int32_t WarmStart(DrvRequest* request);
int32_t EndZel(DrvRequest* request);
int32_t CloseCom(DrvRequest* request);
int32_t ReOpenCom(DrvRequest* request);
int32_t ChangeZelParams(DrvRequest* request);

// Reads and writes.
int32_t SingleRead(DrvRequest* request);
int32_t BlockRead(DrvRequest* request);
int32_t SingleWrite(DrvRequest* request);
int32_t BlockWrite(DrvRequest* request);

}  // namespace zel
