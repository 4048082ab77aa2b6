// The host side of the conformance suite: ZELFX.DLL loaded the way a Windows
// host application loads it (LoadLibrary, GetProcAddress of ZelMain), every
// message the driver logs through TORVEK.DLL's err() captured, and the
// records the host owns.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zelfx/zelfx.h"

namespace wintest {

struct LogLine {
    int32_t level;
    std::string text;
};

inline LogLine info(std::string text) {
    return {ZEL_LOG_INFO, std::move(text)};
}
inline LogLine alert(std::string text) {
    return {ZEL_LOG_ALERT, std::move(text)};
}

// ZELFX.DLL, loaded by name from the host's directory.
class Driver {
  public:
    Driver() = default;
    ~Driver() { unload(); }
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Loads the library and finds ZelMain; on failure `why` says what went
    // wrong.
    bool load(const std::string& path, std::string* why);
    // FreeLibrary: the next load() starts the library afresh.
    void unload();

    // One ZelMain call. log() then holds what this call logged.
    int32_t call(uint32_t command, void* params, PortContext* context);
    const std::vector<LogLine>& log() const;

  private:
    std::string path_;
    HMODULE module_ = nullptr;
    ZelMainFn zelMain_ = nullptr;
};

// A PortContext as a host allocates it: the size GetZelInfo reports (never
// less than the record), 8-byte aligned, filled with a pattern so that
// untouched members are visible.
struct ContextMemory {
    alignas(8) unsigned char bytes[512];

    ContextMemory();
    PortContext* get() { return reinterpret_cast<PortContext*>(bytes); }
};

inline constexpr unsigned char kFill = 0xA5;

// Matches a log text against an expected one in which '*' stands for any run
// of characters.
bool matches(const std::string& pattern, const std::string& text);

// "" when the lines match the expected ones, else a description of the first
// difference and both lists.
std::string compareLog(const std::vector<LogLine>& got, const std::vector<LogLine>& want);

}  // namespace wintest
