// The standalone fake_node program: it listens on the port it prints, answers
// the items given on its command line, and ends cleanly on SIGTERM.
#include "tamberlin/ka_info.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(FakeNodeProgram, ServesInfoItemsUntilTerminated)
{
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(FAKE_NODE_BIN, FAKE_NODE_BIN, "--port", "0", "--info", "build=9.9.1", "--info", "node=BB1",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    FILE *f = fdopen(out[0], "r");
    int port = 0;
    ASSERT_EQ(fscanf(f, "port %d", &port), 1);
    ASSERT_GT(port, 0);

    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char names[] = "build;node";
    char *reply = nullptr;
    ASSERT_EQ(tamberlin_info_host(&sa, names, &reply, 2000, false), 0);
    EXPECT_STREQ(reply, "build\t9.9.1\nnode\tBB1\n");
    free(reply);

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    fclose(f);
}
