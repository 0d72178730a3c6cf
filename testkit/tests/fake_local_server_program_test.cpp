// The standalone fake_local_server program as the shipper meets it: a local
// cluster holding the sample records it was told to make, and a pipe writer
// that, after the shipper's feed request, sends the lists, the records'
// digests, the deletes (taking each record out of the store) and a
// failed-node report, printing how far it got; bad arguments are refused.
#include "stand_program_fixture.h"

#include "testkit/fake_local_server.h"

#include "tamberlin/ka_batch.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_info.h"
#include "tamberlin/ka_request.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using stand_test::program;

std::string pipe_path()
{
    const char *dir = getenv("FERRY_TEST_TMP");
    static int seq = 0;
    return std::string(dir && *dir ? dir : "/tmp") + "/fls_prog_" + std::to_string(getpid()) + "_" +
           std::to_string(seq++);
}

int ask(int port, const char *request)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string names = request;
    char *values = nullptr;
    int rv = tamberlin_info_host(&sa, &names[0], &values, 5000, true);
    free(values);
    return rv;
}

// The shipper's end of the pipe: one whole message per read, as the server
// writes them.
struct reader {
    int fd = -1;
    explicit reader(const std::string &path) : fd(open(path.c_str(), O_RDONLY)) {}
    ~reader()
    {
        if (fd >= 0)
            close(fd);
    }
    // An end of file between two openings by the writer is waited through
    // (up to 10 s) unless it is the end the caller expects.
    bool next(ferry_msg *m, bool eof_ends = false)
    {
        size_t got = 0;
        for (int eofs = 0; got < sizeof(*m);) {
            ssize_t n = read(fd, (char *)m + got, sizeof(*m) - got);
            if (n == 0 && !eof_ends && ++eofs < 10000) {
                usleep(1000);
                continue;
            }
            if (n <= 0)
                return false;
            got += (size_t)n;
        }
        return true;
    }
    int waiting()
    {
        int n = -1;
        return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
    }
};

std::string ns_name(const ferry_msg &m)
{
    return std::string(m.data.nsinfo.ns_name, strnlen(m.data.nsinfo.ns_name, NAMESPACE_MAX_SZ));
}

uint64_t seq_of(const ferry_msg &m)
{
    uint64_t seq = 0;
    memcpy(&seq, m.data.diginfo.digest, sizeof(seq));
    return seq;
}

// The messages every feed starts with: namespaces test and bar, boot node a1.
void expect_lists(reader &r)
{
    ferry_msg m;
    const char *names[] = {"test", "bar"};
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(r.next(&m));
        ASSERT_EQ(FERRY_MSG_TYPE_NSINFO, m.xm_type);
        EXPECT_EQ(i + 1, m.data.nsinfo.ns_id);
        EXPECT_EQ(names[i], ns_name(m));
    }
    ASSERT_TRUE(r.next(&m));
    EXPECT_EQ(-1, m.data.nsinfo.ns_id);
    ASSERT_TRUE(r.next(&m));
    ASSERT_EQ(FERRY_MSG_TYPE_CLUST_STATE_CHANGE, m.xm_type);
    EXPECT_EQ(FERRY_MSG_CLSTCHG_INIT, m.data.clchg.change);
    EXPECT_EQ(0xa1u, m.data.clchg.node);
    ASSERT_TRUE(r.next(&m));
    EXPECT_EQ(0u, m.data.clchg.node);
}

void expect_digests(reader &r, uint64_t count, bool deletes)
{
    for (uint64_t seq = 0; seq < count; seq++) {
        ferry_msg m;
        ASSERT_TRUE(r.next(&m)) << seq;
        ASSERT_EQ(FERRY_MSG_TYPE_DIGESTINFO, m.xm_type) << seq;
        EXPECT_EQ(1, m.data.diginfo.ns_id);
        EXPECT_EQ(seq, seq_of(m));
        EXPECT_EQ(deletes ? 2u : 1u, m.data.diginfo.generation);
        EXPECT_EQ(deletes ? (uint32_t)RELAY_DELETE_FLAG : 0u, m.data.diginfo.delete_flag);
        EXPECT_EQ(0u, m.data.diginfo.masternode);
    }
}

struct LocalServerProgram : ::testing::Test {
    std::string pipe = pipe_path();
    ka_cluster *asc = nullptr;
    void SetUp() override
    {
        ASSERT_EQ(0, tamberlin_init());
        asc = tamberlin_cluster_create();
        ASSERT_NE(asc, nullptr);
    }
    void TearDown() override
    {
        tamberlin_shutdown();
        unlink(pipe.c_str());
    }
    // Records of namespace "test" that exist among seq 0 .. n - 1.
    int existing(uint64_t n)
    {
        std::vector<ka::ox_digest> d(n);
        for (uint64_t seq = 0; seq < n; seq++)
            fls_digest_of(seq, d[seq].digest);
        int found = 0;
        char ns[] = "test";
        int rv = tamberlin_exists_many_digest(
            asc, ns, d.data(), (int)n, nullptr, 0, false,
            [](char *, ka::ox_digest *, char *, uint32_t, uint32_t, ka_bin *, int, bool, void *udata) {
                __atomic_add_fetch((int *)udata, 1, __ATOMIC_SEQ_CST);
                return 0;
            },
            &found);
        return rv == 0 ? found : -1;
    }
};

TEST_F(LocalServerProgram, FeedsTheRecordsItHoldsThenTheirDeletesAndAFailedNode)
{
    program p(FAKE_LOCAL_SERVER_BIN, {"--pipe", pipe, "--ns", "test", "--ns", "bar", "--boot", "a1", "--records", "50",
                                      "--record-bytes", "64", "--rate", "2000", "--deletes", "5", "--failed", "c3"});
    ASSERT_GT(p.port, 0);
    ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", static_cast<short>(p.port), 5000));
    EXPECT_EQ(1, tamberlin_cluster_get_nodecount(asc));
    EXPECT_EQ(50, existing(50));
    ka::ox_digest d;
    fls_digest_of(7, d.digest);
    ka_bin *bins = nullptr;
    int n_bins = 0;
    uint32_t gen = 0;
    ASSERT_EQ(0, tamberlin_get_all_digest(asc, "test", &d, &bins, &n_bins, 5000, &gen));
    ASSERT_EQ(1, n_bins);
    EXPECT_EQ(fls_sample_record(7, 64).bins[0].value, std::string(bins[0].object.u.str, bins[0].object.sz));
    tamberlin_bins_free(bins, n_bins);
    free(bins);

    ASSERT_EQ(0, ask(p.port, FLS_FEED_REQUEST));
    reader r(pipe);
    ASSERT_GE(r.fd, 0);
    expect_lists(r);
    expect_digests(r, 50, false);
    expect_digests(r, 5, true);
    ferry_msg m;
    ASSERT_TRUE(r.next(&m));
    ASSERT_EQ(FERRY_MSG_TYPE_CLUST_STATE_CHANGE, m.xm_type);
    EXPECT_EQ(FERRY_MSG_CLSTCHG_REMOVE, m.data.clchg.change);
    EXPECT_EQ(0xc3u, m.data.clchg.node);
    EXPECT_GT(m.data.clchg.lastshiptime[0], 0u);
    EXPECT_EQ(m.data.clchg.lastshiptime[0], m.data.clchg.lastshiptime[DC_MAX_NUM - 1]);
    std::string line;
    ASSERT_TRUE(p.line_with("fed 55", &line));
    // Each deleted record left the store before its message went.
    EXPECT_EQ(45, existing(50));
    fls_digest_of(2, d.digest);
    EXPECT_EQ(2, tamberlin_exists_digest(asc, "test", &d, nullptr, 0, 5000, &gen));

    // A reopening of the pipe brings the lists again, and no digest twice.
    ASSERT_EQ(0, ask(p.port, FLS_FEED_REQUEST));
    expect_lists(r);
    EXPECT_EQ(0, p.stop(SIGTERM));
    EXPECT_FALSE(r.next(&m, true)); // the writer's end closed, nothing else came
}

TEST_F(LocalServerProgram, DeletesOnUsr1WaitForTheSignal)
{
    program p(FAKE_LOCAL_SERVER_BIN, {"--pipe", pipe, "--ns", "test", "--ns", "bar", "--boot", "a1", "--records", "20",
                                      "--deletes", "3", "--deletes-on-usr1"});
    ASSERT_GT(p.port, 0);
    ASSERT_EQ(0, ask(p.port, FLS_FEED_REQUEST));
    reader r(pipe);
    ASSERT_GE(r.fd, 0);
    expect_lists(r);
    expect_digests(r, 20, false);
    std::string line;
    ASSERT_TRUE(p.line_with("fed 20", &line));
    EXPECT_EQ(0, r.waiting()); // played out, the deletes held back
    ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", static_cast<short>(p.port), 5000));
    EXPECT_EQ(20, existing(20));
    ASSERT_TRUE(p.signal(SIGUSR1));
    expect_digests(r, 3, true);
    ASSERT_TRUE(p.line_with("fed 23", &line));
    EXPECT_EQ(17, existing(20));
}

TEST_F(LocalServerProgram, DigestsWithoutRecordsAsBefore)
{
    program p(FAKE_LOCAL_SERVER_BIN, {"--pipe", pipe, "--ns", "test", "--ns", "bar", "--boot", "a1", "--digests", "30"});
    ASSERT_GT(p.port, 0);
    ASSERT_EQ(0, ask(p.port, FLS_FEED_REQUEST));
    reader r(pipe);
    expect_lists(r);
    expect_digests(r, 30, false);
    std::string line;
    ASSERT_TRUE(p.line_with("fed 30", &line));
}

TEST(LocalServerProgramArgs, BadArgumentsAreRefused)
{
    std::string pipe = pipe_path();
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--pipe", pipe, "--records", "10", "--deletes", "11"},
        {"--pipe", pipe, "--rate", "fast"},
        {"--pipe", pipe, "--rate", "-5"},
        {"--pipe", pipe, "--record-bytes", "0"},
        {"--pipe", pipe, "--failed", "0"},
        {"--pipe", pipe, "--failed", "xyz"},
        {"--pipe", pipe, "--port", "70000"},
        {"--pipe", pipe, "--ns", ""},
        {"--pipe", pipe, "--records"},
        {"--pipe", pipe, "--what", "1"},
    };
    for (const auto &args : bad) {
        std::string shown;
        for (auto &a : args)
            shown += a + " ";
        program p(FAKE_LOCAL_SERVER_BIN, args);
        EXPECT_EQ(0, p.port) << shown;
        EXPECT_EQ(2, p.stop(0)) << shown;
    }
    unlink(pipe.c_str());
}

} // namespace
