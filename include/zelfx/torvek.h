/*
 * libtorvek - the host support library that the zelfx driver logs through.
 *
 * The driver calls err(level, format, ...) for every message. A host decides
 * where the messages go: standard error (the default), a file, or a
 * callback of its own. Level 8 is information, level 32 an alert.
 */
#ifndef ZELFX_TORVEK_H
#define ZELFX_TORVEK_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(TORVEK_BUILDING)
#define TORVEK_API __declspec(dllexport)
#else
#define TORVEK_API __declspec(dllimport)
#endif
#else
#define TORVEK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Receives one formatted message (without a line end). */
typedef void (*TorvekSink)(int32_t level, const char *text, void *user);

/* The driver's logging function: printf-style. Messages longer than
 * TORVEK_MAX_MESSAGE bytes are cut. Returns the length delivered. */
#define TORVEK_MAX_MESSAGE 1024
TORVEK_API int err(int32_t level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Send messages to standard error, as "[level] text\n" (the default). */
TORVEK_API void torvek_use_stderr(void);
/* Append messages to a file; returns 0, or -1 when it cannot be opened
 * (the previous sink then stays). */
TORVEK_API int torvek_use_file(const char *path);
/* Hand every message to a callback. A null callback discards messages. */
TORVEK_API void torvek_use_callback(TorvekSink sink, void *user);

#ifdef __cplusplus
}
#endif

#endif /* ZELFX_TORVEK_H */
