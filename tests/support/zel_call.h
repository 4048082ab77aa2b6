// One ZelMain call with a fresh request record, as a host makes it.
#pragma once

#include "zelfx/zelfx.h"

namespace zeltest {

// `zelMain` is the driver's entry point: the linked-in one by default, or
// one a test found with dlsym.
inline int32_t zelCall(PortContext* context, uint32_t command, void* params,
                       ZelMainFn zelMain = &ZelMain) {
    DrvRequest request{};
    request.context = context;
    request.command = command;
    request.params = params;
    return zelMain(&request);
}

}  // namespace zeltest
