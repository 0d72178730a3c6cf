// The library's start and stop: the version line, calls refused before the
// start and after the stop (nothing sent), a stop and a new start, a start
// whose tend thread cannot run, and a forked child that starts the library
// again on its first call.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../src/ka_cluster_internal.h"
#include "ka_cluster_fixture.h"
#include "tamberlin/ka_batch.h"
#include "tamberlin/ka_request.h"
#include "testkit/fake_cluster.h"
#include "testkit/digest.h"

namespace {

size_t db_requests(fake_node *n)
{
    size_t count = 0;
    fake_request r;
    for (size_t i = 0; fake_node_request(n, i, &r); i++) {
        count += r.proto_type != KA_PROTO_TYPE_INFO;
    }
    return count;
}

int threads_of_process()
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    if (!d) {
        return -1;
    }
    while (struct dirent *e = readdir(d)) {
        n += e->d_name[0] != '.';
    }
    closedir(d);
    return n;
}

using cluster_test::wait_child;

// One stand-in node and a client cluster over it; the library is stopped
// at the end whatever the test did.
class Init : public ::testing::Test {
protected:
    fake_cluster *fc = nullptr;
    void SetUp() override
    {
        fake_cluster_cfg cfg;
        cfg.n_nodes = 1;
        fc = fake_cluster_create(cfg);
        ASSERT_NE(nullptr, fc);
    }
    void TearDown() override
    {
        tamberlin_shutdown();
        tamberlin_cluster_shutdown();
        fake_cluster_destroy(fc);
    }
    fake_node *node() { return fake_cluster_node(fc, 0); }
    ka_cluster *cluster()
    {
        ka_cluster *asc = tamberlin_cluster_create();
        if (asc) {
            tamberlin_cluster_change_tend_speed(asc, 1000000);
            if (tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000) != 0) {
                ADD_FAILURE() << "no node found";
            }
        }
        return asc;
    }
    int read_one(ka_cluster *asc)
    {
        ka::ox_digest d = testkit_digest(1, 0x3C);
        ka_bin *bins = nullptr;
        int n = 0;
        uint32_t gen = 0;
        int rv = tamberlin_get_all_digest(asc, "test", &d, &bins, &n, 0, &gen);
        if (bins) {
            tamberlin_bins_free(bins, n);
            free(bins);
        }
        return rv;
    }
};

// Every record call, for the tables of refused calls.
std::vector<std::pair<const char *, std::function<int(ka_cluster *)>>> every_record_call()
{
    static char keytext[] = "k";
    static ka_object key;
    tamberlin_object_init_str(&key, keytext);
    static ka_bin bin;
    strcpy(bin.bin_name, "b");
    tamberlin_object_init_int(&bin.object, 1);
    static ka_operation op;
    op.bin = bin;
    op.op = KA_OP_WRITE;
    static ka::ox_digest d = testkit_digest(2, 0x3C);
    static ka_bin *out = nullptr;
    static int n = 0;
    static uint32_t gen = 0, ttl = 0;
    static char set[KA_SET_NAME_SZ];
    return {
        {"get", [](ka_cluster *a) { return tamberlin_get(a, "test", "s", &key, &bin, 1, 0, &gen); }},
        {"get_digest", [](ka_cluster *a) { return tamberlin_get_digest(a, "test", &d, &bin, 1, 0, &gen); }},
        {"exists_key", [](ka_cluster *a) { return tamberlin_exists_key(a, "test", "s", &key, nullptr, 0, 0, &gen); }},
        {"exists_digest", [](ka_cluster *a) { return tamberlin_exists_digest(a, "test", &d, nullptr, 0, 0, &gen); }},
        {"verify", [](ka_cluster *a) { return tamberlin_verify(a, "test", "s", &key, &bin, 1, 0, &gen); }},
        {"get_all", [](ka_cluster *a) { return tamberlin_get_all(a, "test", "s", &key, &out, &n, 0, &gen); }},
        {"get_all_digest", [](ka_cluster *a) { return tamberlin_get_all_digest(a, "test", &d, &out, &n, 0, &gen); }},
        {"get_all_digest_getsetname",
         [](ka_cluster *a) {
             return tamberlin_get_all_digest_getsetname(a, "test", &d, &out, &n, 0, &gen, set, &ttl);
         }},
        {"put", [](ka_cluster *a) { return tamberlin_put(a, "test", "s", &key, &bin, 1, nullptr); }},
        {"put_digest", [](ka_cluster *a) { return tamberlin_put_digest(a, "test", &d, &bin, 1, nullptr); }},
        {"restore", [](ka_cluster *a) { return tamberlin_restore(a, "test", &d, "s", &bin, 1, nullptr); }},
        {"delete", [](ka_cluster *a) { return tamberlin_delete(a, "test", "s", &key, nullptr); }},
        {"delete_digest", [](ka_cluster *a) { return tamberlin_delete_digest(a, "test", &d, nullptr); }},
        {"delete_verify", [](ka_cluster *a) { return tamberlin_delete_verify(a, "test", "s", &key, nullptr); }},
        {"operate", [](ka_cluster *a) { return tamberlin_operate(a, "test", "s", &key, &op, 1, nullptr, 0, &gen); }},
        {"operate_digest",
         [](ka_cluster *a) { return tamberlin_operate_digest(a, "test", &d, &op, 1, nullptr, 0, &gen); }},
    };
}

TEST_F(Init, ShutdownBeforeInitDoesNothing)
{
    EXPECT_FALSE(ka::g_initialized.load());
    tamberlin_shutdown();
    EXPECT_FALSE(ka::g_initialized.load());
    EXPECT_FALSE(ka_cluster_initialized());
}

TEST_F(Init, InitPrintsTheVersionLineEachTimeAndStartsOneTendThread)
{
    cluster_test::log_capture log;
    ka::g_log_level = ka::OX_INFO;
    ASSERT_EQ(0, tamberlin_init());
    EXPECT_TRUE(ka::g_initialized.load());
    EXPECT_EQ(getpid(), ka::g_init_pid.load());
    EXPECT_EQ(1, log.count("Quillmere client version client-test"));
    int threads = threads_of_process();
    ASSERT_EQ(0, tamberlin_init());
    EXPECT_EQ(2, log.count("Quillmere client version client-test"));
    EXPECT_EQ(threads, threads_of_process());
    tamberlin_shutdown();

    ka::g_log_level = ka::OX_WARN;
    ASSERT_EQ(0, tamberlin_init());
    EXPECT_EQ(2, log.count("Quillmere client version"));
}

TEST_F(Init, RecordCallsBeforeStartAndAfterStopFailAndSendNothing)
{
    // Cluster support alone, as a program that never started the library.
    tamberlin_cluster_init();
    ka_cluster *asc = cluster();
    ASSERT_NE(nullptr, asc);
    ASSERT_FALSE(ka::g_initialized.load());
    for (auto &call : every_record_call()) {
        EXPECT_EQ(TAMBERLIN_FAIL_CLIENT, call.second(asc)) << call.first;
    }
    EXPECT_EQ(0u, db_requests(node()));
    tamberlin_cluster_shutdown();

    // Started, the same calls reach the node; stopped, they are refused
    // without touching the (now destroyed) cluster.
    ASSERT_EQ(0, tamberlin_init());
    asc = cluster();
    ASSERT_NE(nullptr, asc);
    EXPECT_EQ(TAMBERLIN_FAIL_NOTFOUND, read_one(asc));
    size_t sent = db_requests(node());
    EXPECT_EQ(1u, sent);
    tamberlin_shutdown();
    EXPECT_FALSE(ka::g_initialized.load());
    EXPECT_FALSE(ka_cluster_initialized());
    for (auto &call : every_record_call()) {
        EXPECT_EQ(TAMBERLIN_FAIL_CLIENT, call.second(asc)) << call.first;
    }
    EXPECT_EQ(sent, db_requests(node()));
}

TEST_F(Init, StopAndStartAgain)
{
    for (int round = 0; round < 3; round++) {
        ASSERT_EQ(0, tamberlin_init()) << round;
        ka_cluster *asc = cluster();
        ASSERT_NE(nullptr, asc) << round;
        EXPECT_EQ(TAMBERLIN_FAIL_NOTFOUND, read_one(asc)) << round;
        tamberlin_shutdown();
        EXPECT_FALSE(ka::g_initialized.load()) << round;
        EXPECT_EQ(nullptr, tamberlin_cluster_create()) << round;
    }
    EXPECT_EQ(3u, db_requests(node()));
}

// A process that may not start another thread: the start fails and leaves
// the library stopped. The child gives up root (whose thread limit is not
// enforced) before it lowers its limit of threads.
TEST_F(Init, InitFailsWhenTheTendThreadCannotStart)
{
    ASSERT_FALSE(ka_cluster_initialized());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ka::g_log_level = ka::OX_NO_LOGGING;
        if (geteuid() == 0 && (setgid(54321) != 0 || setuid(54321) != 0)) {
            _exit(10);
        }
        struct rlimit one = {1, 1};
        if (setrlimit(RLIMIT_NPROC, &one) != 0) {
            _exit(11);
        }
        int rv = tamberlin_init();
        _exit(rv == -1 && !ka::g_initialized.load() && !ka_cluster_initialized() ? 0 : 1);
    }
    int status = wait_child(pid);
    if (status == 10 || status == 11) {
        GTEST_SKIP() << "this system lets the test change neither its user nor its thread limit";
    }
    EXPECT_EQ(0, status);
}

// A child forked from a started library: its first call starts the library
// again (its own pid, tend thread and cluster list, the batch workers' flag
// cleared) and is served.
TEST_F(Init, ForkedChildStartsTheLibraryAgainOnItsFirstCall)
{
    ASSERT_EQ(0, tamberlin_init());
    ka_cluster *asc = cluster();
    ASSERT_NE(nullptr, asc);
    __atomic_store_n(&batch_initialized, 1u, __ATOMIC_SEQ_CST);
    pid_t parent = getpid();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ka::g_log_level = ka::OX_NO_LOGGING;
        int bad = 0;
        if (ka::g_init_pid.load() != parent) {
            bad |= 1;
        }
        if (read_one(asc) != TAMBERLIN_FAIL_NOTFOUND) {
            bad |= 2;
        }
        if (ka::g_init_pid.load() != getpid() || !ka::g_initialized.load() || !ka_cluster_initialized()) {
            bad |= 4;
        }
        if (__atomic_load_n(&batch_initialized, __ATOMIC_SEQ_CST) != 0) {
            bad |= 8;
        }
        ka_cluster *own = tamberlin_cluster_create();
        if (!own) {
            bad |= 16;
        }
        _exit(bad);
    }
    __atomic_store_n(&batch_initialized, 0u, __ATOMIC_SEQ_CST);
    EXPECT_EQ(0, wait_child(pid));
    EXPECT_EQ(1u, db_requests(node())); // the child's read
    EXPECT_EQ(parent, ka::g_init_pid.load());
    EXPECT_EQ(TAMBERLIN_FAIL_NOTFOUND, read_one(asc));
    EXPECT_EQ(2u, db_requests(node()));
}

} // namespace
