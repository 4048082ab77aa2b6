// The driver allocates nothing: a full session of every command over the
// in-memory port, with the driver linked in.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "entry/commands.h"
#include "heap_session.h"
#include "memory_port.h"

namespace {

namespace mp = zeltest::memport;

// Through pointers the compiler cannot see through, so that no allocation
// is optimised away.
void* (*volatile gMalloc)(size_t) = std::malloc;
void (*volatile gFree)(void*) = std::free;
void* (*volatile gNew)(size_t) = ::operator new;
void (*volatile gDelete)(void*) = ::operator delete;

TEST(ZeroHeap, CounterSeesAllocations) {
    const uint64_t before = zelheap::Allocations();
    {
        zelheap::Counting counting;
        gFree(gMalloc(16));
        gDelete(gNew(16));
    }
    gFree(gMalloc(16));  // not counted
    EXPECT_EQ(zelheap::Allocations() - before, 2u);
}

TEST(ZeroHeap, FullSessionOverMemoryPort) {
    mp::reset();
    mp::FxPlc healthy;
    mp::FxPlc faulty;
    faulty.silent = true;
    mp::attach("MEM1", mp::FxPlc::respond, &healthy);
    mp::attach("MEM2", mp::FxPlc::respond, &faulty);

    zelheap::HeapSession session(ZelMain);
    EXPECT_EQ(session.Run({"MEM1", "MEM2", 10}), 0u)
        << "first call that allocated: " << session.firstAllocating;
    zel::driverEnded = 0;
}

}  // namespace
