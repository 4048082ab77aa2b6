// What the fuzz targets share: a reader over the fuzz input, a check that
// stops the run with a message, and a log sink that checks every message
// the driver sends to err() and keeps count.
//
// Each target defines `int <Name>OneInput(const uint8_t*, size_t)`; built
// with ZELFX_LIBFUZZER it also defines libFuzzer's entry point, without it
// the regression replay calls the function directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "zelfx/torvek.h"

namespace zelfuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(cond) ((cond) ? void(0) : ::zelfuzz::Fail(__FILE__, __LINE__, #cond))

// Consumes the fuzz input front to back. Once it is used up every read
// yields zeros, so a short input still runs to a well-defined end.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : p_(data), n_(size) {}

    bool empty() const { return n_ == 0; }

    uint8_t byte() {
        if (n_ == 0) {
            return 0;
        }
        --n_;
        return *p_++;
    }

    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= uint32_t{byte()} << (8 * i);
        }
        return v;
    }

    int32_t i32() { return static_cast<int32_t>(u32()); }

    // A small value in [lo, lo + 239] most of the time; a raw 32-bit value
    // when the first byte is 0xF0 or above, so that extremes stay reachable.
    int32_t smallOrRaw(int32_t lo) {
        const uint8_t b = byte();
        return b >= 0xF0 ? i32() : lo + b;
    }

    // Up to `k` bytes.
    std::string_view bytes(size_t k) {
        const size_t m = k < n_ ? k : n_;
        std::string_view out(reinterpret_cast<const char*>(p_), m);
        p_ += m;
        n_ -= m;
        return out;
    }

    std::string_view rest() { return bytes(n_); }

  private:
    const uint8_t* p_;
    size_t n_;
};

// While alive, receives every message of the driver. A message must carry
// one of the two levels and begin with the driver's prefix (one message
// has none).
class LogCheck {
  public:
    LogCheck() { torvek_use_callback(&LogCheck::sink, this); }
    ~LogCheck() { torvek_use_callback(nullptr, nullptr); }
    LogCheck(const LogCheck&) = delete;
    LogCheck& operator=(const LogCheck&) = delete;

    int messages = 0;
    std::string last;

  private:
    static void sink(int32_t level, const char* text, void* user) {
        auto* self = static_cast<LogCheck*>(user);
        FUZZ_CHECK(level == 8 || level == 32);
        const std::string_view t(text);
        FUZZ_CHECK(t.starts_with("ZELFX> ") || t == "ReOpenCom() exited 0");
        ++self->messages;
        self->last.assign(t);
    }
};

}  // namespace zelfuzz
