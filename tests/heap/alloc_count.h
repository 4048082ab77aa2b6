// Counts heap allocations made by this process while counting is switched
// on: malloc, calloc, realloc, the aligned allocators and operator new, by
// any code, the driver's included. Native builds replace the allocator
// functions and pass them on to glibc; sanitizer builds, whose runtime owns
// the allocator, count through its allocation hook.
#pragma once

#include <cstdint>

namespace zelheap {

// Allocations counted so far.
uint64_t Allocations();

// Counts one allocation when counting is on; called by the allocator hooks.
void Note();

// Counting is on while an instance lives.
class Counting {
  public:
    Counting();
    ~Counting();
    Counting(const Counting&) = delete;
    Counting& operator=(const Counting&) = delete;
};

}  // namespace zelheap
