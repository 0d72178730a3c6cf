// Helpers shared by the cluster tests: a captured client log, a cluster the
// tend thread leaves alone, nodes at loopback addresses, descriptor counts.
#pragma once

#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <dirent.h>
#include <mutex>
#include <string>
#include <vector>

#include "tamberlin/ka_cluster.h"
#include "tamberlin/ox_alloc.h"
#include "tamberlin/ox_log.h"

namespace cluster_test {

inline std::mutex g_log_mutex;
inline std::vector<std::string> g_log_lines;

inline void capture_log(ka::ox_log_level, const char *fmt, ...)
{
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(g_log_mutex);
    g_log_lines.push_back(buf);
}

// Captures every client log line (at debug level) while it lives.
struct log_capture {
    ka::ox_log_callback old_cb;
    int32_t old_level;
    log_capture()
    {
        old_cb = ka::g_log_callback;
        old_level = ka::g_log_level;
        std::lock_guard<std::mutex> g(g_log_mutex);
        g_log_lines.clear();
        ka::g_log_callback = capture_log;
        ka::g_log_level = ka::OX_DEBUG;
    }
    ~log_capture()
    {
        ka::g_log_callback = old_cb;
        ka::g_log_level = old_level;
    }
    bool has(const std::string &text) const
    {
        std::lock_guard<std::mutex> g(g_log_mutex);
        for (auto &l : g_log_lines) {
            if (l.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    int count(const std::string &text) const
    {
        std::lock_guard<std::mutex> g(g_log_mutex);
        int n = 0;
        for (auto &l : g_log_lines) {
            n += l.find(text) != std::string::npos;
        }
        return n;
    }
};

inline struct sockaddr_in loopback(int port)
{
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

inline ka_cluster_node *make_node(const char *name, int port)
{
    struct sockaddr_in sa = loopback(port);
    return ka_cluster_node_create((char *)name, &sa);
}

// A started library and a cluster that the tend thread never reaches on
// its own (its period is far beyond any test), so a test drives cluster_tend.
inline ka_cluster *quiet_cluster()
{
    tamberlin_cluster_init();
    ka_cluster *asc = tamberlin_cluster_create();
    if (asc) {
        tamberlin_cluster_change_tend_speed(asc, 1000000);
    }
    return asc;
}

inline uint32_t refs(ka_cluster_node *cn)
{
    return ka::ox_client_rc_count(cn);
}

inline int open_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) {
        return -1;
    }
    while (readdir(d)) {
        n++;
    }
    closedir(d);
    return n;
}

inline void append_node(ka_cluster *asc, ka_cluster_node *cn)
{
    pthread_mutex_lock(&asc->LOCK);
    ox_vector_pointer_append(&asc->node_v, cn);
    pthread_mutex_unlock(&asc->LOCK);
}

} // namespace cluster_test
