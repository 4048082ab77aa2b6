// Collects what the driver logs through libtorvek's err(), for assertions.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "zelfx/torvek.h"

namespace zeltest {

struct LogEntry {
    int32_t level;
    std::string text;

    bool operator==(const LogEntry&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const LogEntry& e) {
    return os << "[" << e.level << "] " << e.text;
}

// While alive, every message goes to `entries` instead of stderr.
class LogCapture {
  public:
    LogCapture() { torvek_use_callback(&LogCapture::sink, this); }
    ~LogCapture() { torvek_use_stderr(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogEntry> entries;

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& e : entries) {
            out.push_back(e.text);
        }
        return out;
    }
    void clear() { entries.clear(); }

  private:
    static void sink(int32_t level, const char* text, void* user) {
        static_cast<LogCapture*>(user)->entries.push_back({level, text});
    }
};

}  // namespace zeltest
