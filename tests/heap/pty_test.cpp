// The driver allocates nothing: a full session of every command through the
// shipped library and its POSIX backend, on pseudo-terminals served by
// fxsim: one PLC that answers, one that never answers usably.
#include <gtest/gtest.h>

#include "driver_host.h"
#include "fxsim_process.h"
#include "heap_session.h"

namespace {

TEST(ZeroHeap, FullSessionOverPseudoTerminals) {
    zeltest::FxsimProcess healthy(FXSIM_PATH, {});
    zeltest::FxsimProcess faulty(
        FXSIM_PATH, {"--fault-rate", "1", "--fault-kinds", "nak,silent,badsum,short,garbage"});
    // Loading the library allocates; the calls into it must not.
    void* lib = dlopen(ZELFX_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto zelMain = reinterpret_cast<ZelMainFn>(dlsym(lib, "ZelMain"));
    ASSERT_NE(zelMain, nullptr);

    zelheap::HeapSession session(zelMain);
    EXPECT_EQ(session.Run({healthy.portName(), faulty.portName(), 5}), 0u)
        << "first call that allocated: " << session.firstAllocating;
    dlclose(lib);
}

}  // namespace
