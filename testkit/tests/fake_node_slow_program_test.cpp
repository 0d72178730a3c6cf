// The stand-in node program's --delay-ms and --silent: database replies come
// only after the delay, or never, while info requests are answered at once;
// a bad value is refused with status 2.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libgen.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "stand_program_fixture.h"
#include "tamberlin/ka_info.h"
#include "tamberlin/ox_socket.h"
#include "tamberlin/tamberlin.h"

namespace {

// The program is built beside this test.
std::string program_path()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return "fake_node";
    }
    self[n] = '\0';
    return std::string(dirname(self)) + "/fake_node";
}

struct program : stand_test::program {
    explicit program(std::vector<std::string> args) : stand_test::program(program_path(), std::move(args)) {}
    // The exit status once the program ended on its own.
    int wait_exit()
    {
        return stop(0);
    }
    sockaddr_in addr() const
    {
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons((uint16_t)port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sa;
    }
};

// Sends one write on a new connection; the connection, or -1.
int send_write(const program &p)
{
    ka::ox_digest d;
    memset(d.digest, 7, sizeof(d.digest));
    ka_bin b;
    memset(&b, 0, sizeof(b));
    strcpy(b.bin_name, "b");
    tamberlin_object_init_int(&b.object, 1);
    uint8_t stack[KA_MSG_STACK_BUF_SZ];
    uint8_t *buf = stack;
    size_t sz = sizeof(stack);
    sockaddr_in sa = p.addr();
    int fd = ka::ox_socket_create_and_connect_nb(&sa);
    if (fd < 0 || ka_compile(0, KA_MSG_INFO2_WRITE, 0, "test", nullptr, nullptr, &d, &b, KA_OP_WRITE, nullptr, 1,
                             &buf, &sz, nullptr, nullptr, 0, nullptr) != 0 ||
        ka::ox_socket_write_timeout(fd, buf, sz, 0, 5000) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

bool info_answers(const program &p)
{
    sockaddr_in sa = p.addr();
    char names[] = "node\n";
    char *values = nullptr;
    bool ok = tamberlin_info_host(&sa, names, &values, 5000, true) == 0 && values && strstr(values, "node\tN1");
    free(values);
    return ok;
}

TEST(FakeNodeSlowProgram, DelayHoldsDatabaseRepliesAndInfoGoesOn)
{
    program p({"--delay-ms", "2000", "--info", "node=N1"});
    ASSERT_GT(p.port, 0);
    int fd = send_write(p);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(info_answers(p)); // while the write waits
    uint8_t head[30];
    EXPECT_EQ(ETIMEDOUT, ka::ox_socket_read_timeout(fd, head, sizeof(head), 0, 200));
    EXPECT_EQ(0, ka::ox_socket_read_timeout(fd, head, sizeof(head), 0, 30000));
    EXPECT_EQ(0, head[13]); // result code
    close(fd);
}

TEST(FakeNodeSlowProgram, SilentAnswersNoDatabaseRequest)
{
    program p({"--silent", "--info", "node=N1"});
    ASSERT_GT(p.port, 0);
    int fd = send_write(p);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(info_answers(p));
    uint8_t head[30];
    EXPECT_EQ(ETIMEDOUT, ka::ox_socket_read_timeout(fd, head, sizeof(head), 0, 500));
    close(fd);
}

TEST(FakeNodeSlowProgram, BadValuesAreRefused)
{
    const char *bad[][2] = {{"--delay-ms", "soon"}, {"--delay-ms", "-5"}, {"--port", "70000"}, {"--info", "no-value"}};
    for (auto &b : bad) {
        program p({b[0], b[1]});
        EXPECT_EQ(0, p.port) << b[0] << " " << b[1];
        EXPECT_EQ(2, p.wait_exit()) << b[0] << " " << b[1];
    }
}

} // namespace
