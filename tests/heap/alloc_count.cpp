#include "alloc_count.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define ZELHEAP_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZELHEAP_SANITIZER 1
#endif
#endif

namespace zelheap {
namespace {

std::atomic<bool> gCounting{false};
std::atomic<uint64_t> gAllocations{0};

}  // namespace

void Note() {
    if (gCounting.load(std::memory_order_relaxed)) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
}

uint64_t Allocations() {
    return gAllocations.load();
}

Counting::Counting() {
    gCounting.store(true);
}

Counting::~Counting() {
    gCounting.store(false);
}

}  // namespace zelheap

#if defined(ZELHEAP_SANITIZER)

// The sanitizer runtime calls this hook, when a program defines it, for
// every allocation it serves, operator new included.
extern "C" void __sanitizer_malloc_hook(const volatile void*, size_t) {
    zelheap::Note();
}

#else

// glibc's allocator under its internal names.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
    zelheap::Note();
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    zelheap::Note();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    zelheap::Note();
    return __libc_realloc(p, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    zelheap::Note();
    return __libc_memalign(alignment, size);
}
void* memalign(size_t alignment, size_t size) {
    zelheap::Note();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    zelheap::Note();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return 12;  // ENOMEM
    }
    *out = p;
    return 0;
}
void free(void* p) {
    __libc_free(p);
}
}  // extern "C"

// operator new and delete over the counted malloc and free.
void* operator new(size_t size) {
    void* p = malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return malloc(size == 0 ? 1 : size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
    free(p);
}
void operator delete[](void* p) noexcept {
    free(p);
}
void operator delete(void* p, size_t) noexcept {
    free(p);
}
void operator delete[](void* p, size_t) noexcept {
    free(p);
}

#endif
