// libtorvek: the host support library whose err() receives every message of
// the zelfx driver. A host chooses where messages go: standard error, a file,
// or a callback of its own.
#include "zelfx/torvek.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

enum class SinkKind { Stderr, File, Callback };

struct Sink {
    std::mutex lock;
    SinkKind kind = SinkKind::Stderr;
    std::FILE* file = nullptr;
    TorvekSink callback = nullptr;
    void* user = nullptr;

    void closeFile() {
        if (file != nullptr) {
            std::fclose(file);
            file = nullptr;
        }
    }
};

Sink& sink() {
    static Sink instance;
    return instance;
}

}  // namespace

extern "C" TORVEK_API int err(int32_t level, const char* format, ...) {
    char text[TORVEK_MAX_MESSAGE];
    int length = 0;
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        length = std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
    }
    if (length < 0) {
        length = 0;
    }
    text[sizeof text - 1] = '\0';
    if (length >= static_cast<int>(sizeof text)) {
        length = static_cast<int>(sizeof text) - 1;
    }
    if (format == nullptr) {
        text[0] = '\0';
    }

    Sink& s = sink();
    std::lock_guard<std::mutex> guard(s.lock);
    switch (s.kind) {
        case SinkKind::Stderr:
            std::fprintf(stderr, "[%d] %s\n", static_cast<int>(level), text);
            break;
        case SinkKind::File:
            std::fprintf(s.file, "[%d] %s\n", static_cast<int>(level), text);
            std::fflush(s.file);
            break;
        case SinkKind::Callback:
            if (s.callback != nullptr) {
                s.callback(level, text, s.user);
            }
            break;
    }
    return length;
}

extern "C" TORVEK_API void torvek_use_stderr(void) {
    Sink& s = sink();
    std::lock_guard<std::mutex> guard(s.lock);
    s.closeFile();
    s.kind = SinkKind::Stderr;
}

extern "C" TORVEK_API int torvek_use_file(const char* path) {
    if (path == nullptr) {
        return -1;
    }
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr) {
        return -1;
    }
    Sink& s = sink();
    std::lock_guard<std::mutex> guard(s.lock);
    s.closeFile();
    s.file = file;
    s.kind = SinkKind::File;
    return 0;
}

extern "C" TORVEK_API void torvek_use_callback(TorvekSink callback, void* user) {
    Sink& s = sink();
    std::lock_guard<std::mutex> guard(s.lock);
    s.closeFile();
    s.callback = callback;
    s.user = user;
    s.kind = SinkKind::Callback;
}
