// Client library logging: one process-wide level and one replaceable callback.
//
// The client keeps this apart from the foundation's fault log so that it can be
// embedded anywhere. Its names overlap the foundation's (OX_INFO, OX_DEBUG), so
// the whole client base lives in namespace ka; a file may include both bases.
// Log sites test the level before calling, so a filtered line is never formatted.
#pragma once

#include <atomic>
#include <cstdint>
#include <sys/types.h>

namespace ka {

// The client's own levels; not the foundation's severities.
enum ox_log_level : int {
    OX_NO_LOGGING = -1,
    OX_ERROR = 0,
    OX_WARN = 1,
    OX_INFO = 2,
    OX_DEBUG = 3,
};

// fmt does not end in a newline; the callback adds what it needs.
typedef void (*ox_log_callback)(ox_log_level level, const char *fmt, ...);

// Written rarely with plain stores (start-up, the log-set command), read by
// every thread without a lock.
extern int32_t g_log_level;            // default OX_INFO
extern ox_log_callback g_log_callback; // default ox_default_log

// Library state, set by the library's start and stop and read by every call
// of every thread (the synchronous engine compares the pid with its own to
// notice that it runs in a forked child).
extern std::atomic<bool> g_initialized;
extern std::atomic<pid_t> g_init_pid;

// Writes the message and one newline to standard error; no prefix, no level.
void ox_default_log(ox_log_level level, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

} // namespace ka

// OX_DEBUG for true, OX_INFO for false.
void tamberlin_set_debug(bool on);

#define KA_LOG(level, ...)                                                     \
    do {                                                                       \
        if (ka::g_log_level >= (level))                                        \
            ka::g_log_callback((level), __VA_ARGS__);                          \
    } while (0)
#define KA_LOG_ERROR(...) KA_LOG(ka::OX_ERROR, __VA_ARGS__)
#define KA_LOG_WARN(...) KA_LOG(ka::OX_WARN, __VA_ARGS__)
#define KA_LOG_INFO(...) KA_LOG(ka::OX_INFO, __VA_ARGS__)
#define KA_LOG_DEBUG(...) KA_LOG(ka::OX_DEBUG, __VA_ARGS__)
