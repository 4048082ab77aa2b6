// A host that dlopen()s the driver gets the driver's messages in its own
// sink, never glibc's err(3) (which would print and exit the process).
//
// This program deliberately does not link libtorvek: like an ordinary host it
// only has the C library, whose err() is in the global scope.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zelfx/torvek.h"
#include "zelfx/zelfx.h"

namespace {

std::vector<std::string> received;

void sink(int32_t level, const char* text, void*) {
    received.push_back(std::to_string(level) + " " + text);
}

TEST(ErrBinding, DlopenedDriverLogsIntoTheHostsSink) {
    void* driver = dlopen(ZELFX_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(driver, nullptr) << dlerror();
    // The support library came in with the driver; reach its host API.
    void* torvek = dlopen(ZELFX_TORVEK_SONAME, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(torvek, nullptr) << dlerror();
    auto useCallback =
        reinterpret_cast<decltype(&torvek_use_callback)>(dlsym(torvek, "torvek_use_callback"));
    auto zelMain = reinterpret_cast<ZelMainFn>(dlsym(driver, "ZelMain"));
    ASSERT_NE(useCallback, nullptr);
    ASSERT_NE(zelMain, nullptr);
    useCallback(&sink, nullptr);

    DriverInfo info{};
    DrvRequest request{};
    request.command = ZEL_CMD_GET_ZEL_INFO;
    request.params = &info;
    EXPECT_EQ(zelMain(&request), ZEL_DONE);

    // Still alive, and the message is where the host wanted it.
    EXPECT_EQ(received, std::vector<std::string>{"8 ZELFX> GetZelInfo() exited"});
    dlclose(torvek);
}

}  // namespace
