// Client log state and the default sink (standard error, one line per call).
#include "tamberlin/ox_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ka {

int32_t g_log_level = OX_INFO;
ox_log_callback g_log_callback = ox_default_log;
std::atomic<bool> g_initialized{false};
std::atomic<pid_t> g_init_pid{0};

void ox_default_log(ox_log_level, const char *fmt, ...)
{
    // The newline goes into the format so that one vfprintf writes the line.
    size_t len = strlen(fmt);
    char stackfmt[1024];
    char *f = len + 2 <= sizeof(stackfmt) ? stackfmt : static_cast<char *>(malloc(len + 2));
    if (!f)
        return;
    memcpy(f, fmt, len);
    f[len] = '\n';
    f[len + 1] = '\0';
    va_list ap;
    va_start(ap, fmt);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vfprintf(stderr, f, ap);
#pragma GCC diagnostic pop
    va_end(ap);
    if (f != stackfmt)
        free(f);
}

} // namespace ka

void tamberlin_set_debug(bool on)
{
    ka::g_log_level = on ? ka::OX_DEBUG : ka::OX_INFO;
}
