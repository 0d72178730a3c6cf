// The shared cluster map across processes: the segment's size and mode, an
// attacher that finds a segment never made ready, and two processes (a forked
// child) that share one map, the updater role passing to the survivor when
// the updating process dies. The child is started afresh after its fork; the
// threaded parts are in ka_shm_mt_test.
#include <poll.h>
#include <unistd.h>

#include "ka_shm_fixture.h"

using namespace shm_test;
using cluster_test::wait_child;
using cluster_test::wait_until;

namespace {

class Shm : public shm_fixture {};

// One byte from fd within a minute; false when none came.
bool read_byte(int fd, char *c)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 60000) == 1 && read(fd, c, 1) == 1;
}

TEST_F(Shm, SegmentIsSizedForItsSlotsAndPrivateToItsUser)
{
    ASSERT_EQ(-1, tamberlin_use_shm(0, -1));
    EXPECT_FALSE(ka_shm_attached(nullptr));

    ASSERT_EQ(0, tamberlin_use_shm(0, key));
    int id = -1;
    ASSERT_TRUE(ka_shm_attached(&id));
    struct shmid_ds ds;
    ASSERT_EQ(0, shmctl(id, IPC_STAT, &ds));
    EXPECT_EQ(64u * 19296u + 56u + KA_SHM_READY_SIZE, ds.shm_segsz);
    EXPECT_EQ(0600, ds.shm_perm.mode & 0777);
    EXPECT_EQ(64, ka_shm_slot_count());
    // Attached already: the same segment.
    EXPECT_EQ(0, tamberlin_use_shm(8, key));
    int again = -1;
    EXPECT_TRUE(ka_shm_attached(&again));
    EXPECT_EQ(id, again);

    // Switched off: detached and marked for removal, so the key is free.
    EXPECT_EQ(0, tamberlin_shm_free());
    EXPECT_FALSE(ka_shm_attached(nullptr));
    EXPECT_FALSE(ka_shm_on());
    EXPECT_EQ(-1, shmget(key, 0, 0));
}

// A segment whose maker never finished (no ready word): the attacher waits a
// bounded time, gives up, and leaves the map off.
TEST_F(Shm, AttacherOfASegmentNeverMadeReadyGivesUp)
{
    cluster_test::log_capture log;
    hand_segment seg;
    ASSERT_TRUE(seg.make(key, 2, false));
    EXPECT_EQ(-1, tamberlin_use_shm(2, key));
    EXPECT_FALSE(ka_shm_attached(nullptr));
    EXPECT_FALSE(ka_shm_on());
    EXPECT_TRUE(log.has("was not set up within"));
    // The attempt left the segment alone (only this test's view is attached).
    struct shmid_ds ds;
    ASSERT_EQ(0, shmctl(seg.id, IPC_STAT, &ds));
    EXPECT_EQ(1u, ds.shm_nattch);
}

// A segment too small for one slot is refused before anything is read.
TEST_F(Shm, SegmentWithoutRoomForASlotIsRefused)
{
    int id = shmget(key, KA_SHM_HEAD_SIZE, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(id, 0);
    EXPECT_EQ(-1, tamberlin_use_shm(2, key));
    EXPECT_FALSE(ka_shm_attached(nullptr));
}

// The child's part of the two-process test, in a fresh image of this program
// (forked, then started again, so that it inherits no lock that one of the
// parent's threads held at the fork): it creates the map, becomes its
// updater, fills it from a cluster of its own, says so, and dies holding the
// segment's lock when told to. SHM_TEST_CHILD holds the key, the stand-in's
// port and the two pipe ends.
int run_child_role()
{
    const char *role = getenv("SHM_TEST_CHILD");
    if (!role) {
        return 0;
    }
    int key = 0, port = 0, in = -1, out = -1;
    if (sscanf(role, "%d %d %d %d", &key, &port, &in, &out) != 4) {
        _exit(1);
    }
    ka::g_log_level = ka::OX_NO_LOGGING;
    tamberlin_cluster_init();
    if (tamberlin_use_shm(4, (key_t)key) != 0) {
        _exit(2);
    }
    if (!testkit_wait_until([] { return ka_shm_is_updater(); }, 30000)) {
        _exit(3);
    }
    ka_cluster *own = cluster_test::quiet_cluster();
    if (!own || tamberlin_cluster_add_host(own, "127.0.0.1", (short)port, 5000) != 0) {
        _exit(4);
    }
    char c = 'u';
    if (write(out, &c, 1) != 1) {
        _exit(5);
    }
    // Ends when told to (or when the parent is gone).
    (void)!read(in, &c, 1);
    _exit(0);
}
const int g_child_role = run_child_role();

// This process attaches to the map the child made, reads what the child's
// updater wrote, and takes the updater role over when the child dies holding
// the segment's lock.
TEST_F(Shm, TwoProcessesShareOneMapAndTheSurvivorTakesOver)
{
    cfg.n_nodes = 2;
    start_fake(false);
    ka_cluster_test_set_tick_ms(50);
    int to_child[2], to_parent[2];
    ASSERT_EQ(0, pipe(to_child));
    ASSERT_EQ(0, pipe(to_parent));
    // Everything the child needs is made before the fork: between fork and
    // exec it only execs.
    std::string role = std::to_string(key) + " " + std::to_string(fake_cluster_port(fc, 0)) + " " +
                       std::to_string(to_child[0]) + " " + std::to_string(to_parent[1]);
    std::vector<std::string> env_s = {"SHM_TEST_CHILD=" + role};
    for (char **e = environ; *e; e++) {
        env_s.push_back(*e);
    }
    std::vector<char *> envp;
    for (auto &e : env_s) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char *argv[] = {self, nullptr};
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execve(self, argv, envp.data());
        _exit(9);
    }
    close(to_child[0]);
    close(to_parent[1]);
    char c = 0;
    bool child_ready = read_byte(to_parent[0], &c);
    EXPECT_TRUE(child_ready);
    if (child_ready) {
        EXPECT_EQ(0, tamberlin_use_shm(4, key));
        EXPECT_TRUE(wait_until([&] { return map_complete(fc); }));
        EXPECT_EQ((uint64_t)pid, map_updater());
        EXPECT_FALSE(ka_shm_is_updater());
    }
    // A child that ended early has closed its end: no SIGPIPE for that.
    signal(SIGPIPE, SIG_IGN);
    c = 'x';
    EXPECT_EQ(child_ready ? 1 : -1, write(to_child[1], &c, 1));
    close(to_child[1]);
    close(to_parent[0]);
    EXPECT_EQ(0, wait_child(pid));
    ASSERT_TRUE(child_ready);

    // The survivor's updater takes the lock its dead owner left and goes on
    // updating from this process's own cluster: a changed assignment bumps
    // the generations, and the slots follow.
    ASSERT_TRUE(wait_until([] { return ka_shm_is_updater(); }));
    EXPECT_EQ((uint64_t)getpid(), map_updater());
    asc = cluster_test::quiet_cluster();
    ASSERT_NE(nullptr, asc);
    ASSERT_EQ(0, add_seed());
    uint32_t before = fake_cluster_generation(fc, 0);
    fake_cluster_assign_all(fc, 1, 0);
    EXPECT_NE(before, fake_cluster_generation(fc, 0));
    EXPECT_TRUE(wait_until([&] { return map_complete(fc); }));
    EXPECT_EQ(2u, map_slots().size());
}

} // namespace
