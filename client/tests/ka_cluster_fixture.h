// Helpers shared by the cluster tests: a captured client log, a cluster the
// tend thread leaves alone, nodes at loopback addresses, descriptor counts.
#pragma once

#include <arpa/inet.h>
#include <unistd.h>
#include <sys/wait.h>
#include <signal.h>
#include <netdb.h>
#include <cstdarg>
#include <cstdio>
#include <dirent.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_lookup.h"
#include "tamberlin/ka_partition.h"
#include "tamberlin/ox_alloc.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_socket.h"
#include "testkit/fake_cluster.h"
#include "testkit/numeric_resolver.h"
#include "testkit/wait.h"

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

// A stand-in cluster and a client cluster over it; reset() ends both, so a
// table of cases can start afresh for each case.
class fake_cluster_test : public ::testing::Test {
protected:
    fake_cluster *fc = nullptr;
    ka_cluster *asc = nullptr;
    fake_cluster_cfg cfg;

    void TearDown() override { reset(); }
    void reset()
    {
        if (asc) {
            tamberlin_cluster_destroy(asc);
        }
        if (fc) {
            fake_cluster_destroy(fc);
        }
        asc = nullptr;
        fc = nullptr;
    }
    // The stand-in alone (with the library started), or with a quiet client
    // cluster over it.
    void start_fake(bool with_cluster)
    {
        fc = fake_cluster_create(cfg);
        ASSERT_NE(nullptr, fc);
        tamberlin_cluster_init();
        if (with_cluster) {
            asc = quiet_cluster();
            ASSERT_NE(nullptr, asc);
        }
    }
    int add_seed(int i = 0, int timeout_ms = 2000)
    {
        return tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, i), timeout_ms);
    }
};


struct numeric_lookups {
    numeric_lookups() { g_ka_resolver = testkit_numeric_resolver; }
    ~numeric_lookups() { g_ka_resolver = gethostbyname2_r; }
};

// References a node should hold: its entry in node_v and its slots.
inline uint32_t slot_refs(ka_cluster *asc, ka_cluster_node *cn)
{
    uint32_t n = 1;
    for (ka_partition_table *t = asc->partition_table_head.load(); t; t = t->next) {
        for (uint32_t p = 0; p < asc->n_partitions.load(); p++) {
            pthread_mutex_lock(&t->partitions[p].lock);
            n += (t->partitions[p].master == cn) + (t->partitions[p].prole == cn);
            pthread_mutex_unlock(&t->partitions[p].lock);
        }
    }
    return n;
}


// Waits for a condition with a generous deadline; true when it held.
template <class F> bool wait_until(F cond, int timeout_ms = 30000)
{
    return testkit_wait_until(cond, timeout_ms);
}

// Waits (up to 60 s) for a child and gives its exit status, or -1 when it did
// not exit by itself in time (it is then killed) or ended by a signal.
inline int wait_child(pid_t pid)
{
    int status = 0;
    pid_t r = 0;
    if (!wait_until([&] { return (r = waitpid(pid, &status, WNOHANG)) != 0; }, 60000)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return r == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Sets the cluster's tending bit once no tend runs, so that no other tend
// starts; false when no tend ended within a minute.
inline bool hold_tend(ka_cluster *asc)
{
    return wait_until(
        [asc] {
            pthread_mutex_lock(&asc->LOCK);
            bool free_now = (asc->state & KA_CLUSTER_STATE_TENDING) == 0;
            if (free_now)
                asc->state |= KA_CLUSTER_STATE_TENDING;
            pthread_mutex_unlock(&asc->LOCK);
            return free_now;
        },
        60000);
}

// The test takes the tend for itself (as a running tend would hold it), so no
// tend can change a slot while the references are counted; then every node
// must hold exactly the references of its entry in the list and its slots.
inline void expect_only_slot_refs(ka_cluster *asc)
{
    tamberlin_cluster_change_tend_speed(asc, 1000000);
    ASSERT_TRUE(hold_tend(asc));
    pthread_mutex_lock(&asc->LOCK);
    std::vector<ka_cluster_node *> nodes;
    for (uint32_t i = 0; i < ox_vector_size(&asc->node_v); i++)
        nodes.push_back((ka_cluster_node *)ox_vector_pointer_get(&asc->node_v, i));
    pthread_mutex_unlock(&asc->LOCK);
    EXPECT_FALSE(nodes.empty());
    for (ka_cluster_node *cn : nodes)
        EXPECT_EQ(slot_refs(asc, cn), refs(cn)) << cn->name;
    pthread_mutex_lock(&asc->LOCK);
    asc->state &= ~KA_CLUSTER_STATE_TENDING;
    pthread_mutex_unlock(&asc->LOCK);
}

} // namespace cluster_test
