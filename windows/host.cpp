#include "host.h"

#include <cstring>
#include <sstream>

#include "zelfx/torvek.h"

namespace wintest {

namespace {

// TORVEK.DLL hands every message of the driver to this sink.
std::vector<LogLine>& captured() {
    static std::vector<LogLine> lines;
    return lines;
}

void sink(int32_t level, const char* text, void*) {
    captured().push_back({level, text});
}

std::string lastError() {
    return "Windows error " + std::to_string(static_cast<unsigned long>(GetLastError()));
}

std::string show(const std::vector<LogLine>& lines) {
    std::ostringstream out;
    for (const LogLine& l : lines) {
        out << "\n      [" << l.level << "] " << l.text;
    }
    if (lines.empty()) {
        out << "\n      (nothing)";
    }
    return out.str();
}

}  // namespace

bool Driver::load(const std::string& path, std::string* why) {
    unload();
    path_ = path;
    module_ = LoadLibraryA(path.c_str());
    if (module_ == nullptr) {
        *why = "LoadLibrary(" + path + ") failed: " + lastError();
        return false;
    }
    // GetProcAddress returns a generic FARPROC; the export's real type is
    // ZelMainFn (stdcall on 32-bit Windows).
    zelMain_ =
        reinterpret_cast<ZelMainFn>(reinterpret_cast<void*>(GetProcAddress(module_, "ZelMain")));
    if (zelMain_ == nullptr) {
        *why = "GetProcAddress(ZelMain) failed: " + lastError();
        unload();
        return false;
    }
    torvek_use_callback(sink, nullptr);
    return true;
}

void Driver::unload() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
    module_ = nullptr;
    zelMain_ = nullptr;
}

int32_t Driver::call(uint32_t command, void* params, PortContext* context) {
    DrvRequest request{};
    request.context = context;
    request.command = command;
    request.reserved1 = 0x5A5A5A5Au;
    request.reserved2 = 0x5A5A5A5Au;
    request.params = params;
    captured().clear();
    return zelMain_(&request);
}

const std::vector<LogLine>& Driver::log() const {
    return captured();
}

ContextMemory::ContextMemory() {
    std::memset(bytes, kFill, sizeof bytes);
}

bool matches(const std::string& pattern, const std::string& text) {
    size_t p = 0;
    size_t t = 0;
    size_t star = std::string::npos;
    size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

std::string compareLog(const std::vector<LogLine>& got, const std::vector<LogLine>& want) {
    for (size_t i = 0; i < got.size() || i < want.size(); ++i) {
        if (i >= got.size() || i >= want.size() || got[i].level != want[i].level ||
            !matches(want[i].text, got[i].text)) {
            return "log differs at line " + std::to_string(i + 1) + "\n    want:" + show(want) +
                   "\n    got:" + show(got);
        }
    }
    return "";
}

}  // namespace wintest
