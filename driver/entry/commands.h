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

}  // namespace zel
