// The foundation's sockets on 127.0.0.1: the service socket's refusals (no
// descriptor left behind), a bind that waits while the port is held, the
// receive wrapper's three kinds of 0 and -1 (would block, peer closed, peer
// reset), send to a closed peer without SIGPIPE, the bounded client connect,
// the packed address form and the interface listing. Log lines are read back
// from a file sink in the test directory.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tamberlin/fault.h"
#include "tamberlin/socket.h"
#include "testkit/proc.h"
#include "testkit/wait.h"

namespace {

std::string g_log_path;

std::string
log_text()
{
	std::ifstream in(g_log_path);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

// A listener from the service call on an ephemeral loopback port.
ox_socket_cfg
listener()
{
	ox_socket_cfg c{};
	c.addr = "127.0.0.1";
	c.port = 0;
	c.reuse_addr = true;
	c.proto = SOCK_STREAM;
	EXPECT_EQ(ox_socket_init_svc_anyport(&c), 0);
	EXPECT_GT(c.port, 0);
	return c;
}

// A connected pair: the client end (blocking) and the accepted end.
void
connected_pair(ox_socket_cfg *l, int *client, int *server)
{
	ox_socket_cfg c{};
	c.addr = "127.0.0.1";
	c.port = l->port;
	c.proto = SOCK_STREAM;
	ASSERT_EQ(ox_socket_init_client(&c), 0);
	*client = c.sock;
	*server = accept(l->sock, nullptr, nullptr);
	ASSERT_GE(*server, 0);
}

class Socket : public ::testing::Test {
protected:
	static void
	SetUpTestSuite()
	{
		const char *dir = getenv("FERRY_TEST_TMP");
		g_log_path = std::string(dir ? dir : "/tmp") + "/socket_test_" + std::to_string(getpid()) + ".log";
		unlink(g_log_path.c_str());
		ox_fault_sink *s = ox_fault_sink_hold(g_log_path.c_str());
		ASSERT_NE(s, nullptr);
		ASSERT_EQ(ox_fault_sink_addcontext(s, "ox:socket", "detail"), 0);
		ASSERT_EQ(ox_fault_sink_activate_all_held(), 0);
	}
	static void
	TearDownTestSuite()
	{
		unlink(g_log_path.c_str());
	}
};

TEST_F(Socket, ServiceRefusalsLeaveNoDescriptor)
{
	struct Case {
		const char *addr;
		int port;
		int want; // 0 for "some error number"
		const char *line;
	};
	const Case cases[] = {
		{nullptr, 3000, -1, "Could not initialize service, check config file"},
		{"127.0.0.1", 0, -1, "could not initialize service, missing port, check config file"},
		{"localhost", 3000, EINVAL, "inet_pton: "},
		{"300.1.2.3", 3000, EINVAL, "inet_pton: "},
		{"", 3000, EINVAL, "inet_pton: "},
		{"192.0.2.1", 3000, EADDRNOTAVAIL, "bind: "},
	};
	for (const Case &c : cases) {
		int before = testkit_open_fds();
		ox_socket_cfg cfg{};
		cfg.addr = c.addr;
		cfg.port = c.port;
		cfg.reuse_addr = true;
		cfg.proto = SOCK_STREAM;
		EXPECT_EQ(ox_socket_init_svc(&cfg), c.want) << (c.addr ? c.addr : "(null)");
		EXPECT_EQ(cfg.sock, -1);
		EXPECT_EQ(testkit_open_fds(), before) << (c.addr ? c.addr : "(null)");
		EXPECT_NE(log_text().find(c.line), std::string::npos) << c.line;
	}
}

TEST_F(Socket, ServiceBindWaitsWhileThePortIsHeld)
{
	ox_socket_cfg holder = listener();
	std::atomic<int> rv{99};
	ox_socket_cfg cfg{};
	cfg.addr = "127.0.0.1";
	cfg.port = holder.port;
	cfg.reuse_addr = true;
	cfg.proto = SOCK_STREAM;
	std::thread t([&] { rv = ox_socket_init_svc(&cfg); });
	std::string line = "bind: socket in use, waiting (port:" + std::to_string(holder.port) + ")";
	EXPECT_TRUE(testkit_wait_until([&] { return log_text().find(line) != std::string::npos; }, 20000));
	EXPECT_EQ(rv.load(), 99);
	ox_socket_close(&holder);
	EXPECT_TRUE(testkit_wait_until([&] { return rv.load() != 99; }, 30000));
	t.join();
	EXPECT_EQ(rv.load(), 0);
	EXPECT_GE(cfg.sock, 0);
	ox_socket_close(&cfg);
}

TEST_F(Socket, ReceiveTellsWouldBlockFromClosedAndReset)
{
	ox_socket_cfg l = listener();
	int cl = -1, sv = -1;
	connected_pair(&l, &cl, &sv);
	EXPECT_EQ(ox_socket_set_nonblocking(sv), 1);
	char buf[16];

	// Nothing sent yet: 0, errno EAGAIN, and nothing logged.
	size_t log_before = log_text().size();
	errno = 0;
	EXPECT_EQ(ox_socket_recv(sv, buf, sizeof(buf), 0), 0);
	EXPECT_EQ(errno, EAGAIN);
	EXPECT_EQ(log_text().size(), log_before);

	ASSERT_EQ(send(cl, "abc", 3, 0), 3);
	EXPECT_TRUE(testkit_wait_until([&] {
		int r = ox_socket_recv(sv, buf, sizeof(buf), 0);
		return r == 3;
	}, 10000));

	// The peer closes: 0 with errno cleared (not a stale EAGAIN), a DETAIL line.
	close(cl);
	errno = EAGAIN;
	int r = -2;
	EXPECT_TRUE(testkit_wait_until([&] {
		errno = EAGAIN;
		r = ox_socket_recv(sv, buf, sizeof(buf), 0);
		return !(r == 0 && errno == EAGAIN);
	}, 10000));
	EXPECT_EQ(r, 0);
	EXPECT_EQ(errno, 0);
	EXPECT_NE(log_text().find("socket disconnected"), std::string::npos);

	// Sending to the closed peer gives an error, never SIGPIPE.
	int s = 0;
	for (int i = 0; i < 100 && s >= 0; i++)
		s = ox_socket_send(sv, "xyz", 3, 0);
	EXPECT_LT(s, 0);
	EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
	close(sv);

	// A reset peer: -1 with ECONNRESET, and the process goes on.
	connected_pair(&l, &cl, &sv);
	ox_socket_set_nonblocking(sv);
	struct linger lg = {1, 0};
	ASSERT_EQ(setsockopt(cl, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)), 0);
	close(cl);
	EXPECT_TRUE(testkit_wait_until([&] {
		r = ox_socket_recv(sv, buf, sizeof(buf), 0);
		return !(r == 0 && errno == EAGAIN);
	}, 10000));
	EXPECT_EQ(r, -1);
	EXPECT_EQ(errno, ECONNRESET);
	close(sv);
	ox_socket_close(&l);
}

TEST_F(Socket, ClientConnectSucceedsOrFailsWithoutLeak)
{
	ox_socket_cfg l = listener();
	int port = l.port;
	int cl = -1, sv = -1;
	connected_pair(&l, &cl, &sv);
	// The connected client socket is blocking again.
	EXPECT_EQ(fcntl(cl, F_GETFL) & O_NONBLOCK, 0);
	close(cl);
	close(sv);
	ox_socket_close(&l);
	EXPECT_EQ(l.sock, -1);

	struct Case {
		const char *addr;
		int want;
	};
	const Case cases[] = {{"127.0.0.1", ECONNREFUSED}, {"not-an-address", EINVAL}};
	for (const Case &c : cases) {
		int before = testkit_open_fds();
		ox_socket_cfg cfg{};
		cfg.addr = c.addr;
		cfg.port = port; // nothing listens there any more
		cfg.proto = SOCK_STREAM;
		EXPECT_EQ(ox_socket_init_client(&cfg), c.want) << c.addr;
		EXPECT_EQ(cfg.sock, -1);
		EXPECT_EQ(testkit_open_fds(), before) << c.addr;
	}
}

TEST_F(Socket, NonBlockingConnect)
{
	ox_socket_cfg l = listener();
	ox_sockaddr so = 0;
	ox_sockaddr_convertto(&l.saddr, &so);
	int fd = -1;
	ASSERT_EQ(ox_socket_connect_nb(so, &fd), 0);
	EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
	EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
	int sv = -1;
	EXPECT_TRUE(testkit_wait_until([&] { return (sv = accept(l.sock, nullptr, nullptr)) >= 0; }, 10000));
	close(sv);
	close(fd);
	ox_socket_close(&l);
}

TEST_F(Socket, PackedAddresses)
{
	struct sockaddr_in sa{};
	sa.sin_family = AF_INET;
	inet_pton(AF_INET, "10.0.0.1", &sa.sin_addr);
	sa.sin_port = htons(3000);
	ox_sockaddr so = 0;
	ox_sockaddr_convertto(&sa, &so);
	EXPECT_EQ(so >> 48, 0u);
	const uint8_t *b = (const uint8_t *)&so;
	const uint8_t want[8] = {10, 0, 0, 1, 0x0B, 0xB8, 0, 0};
	EXPECT_EQ(memcmp(b, want, 8), 0);
	struct sockaddr_in back;
	ox_sockaddr_convertfrom(so, &back);
	EXPECT_EQ(back.sin_family, AF_INET);
	EXPECT_EQ(back.sin_addr.s_addr, sa.sin_addr.s_addr);
	EXPECT_EQ(ntohs(back.sin_port), 3000);
	ox_sockaddr_setport(&so, 4333);
	ox_sockaddr_convertfrom(so, &back);
	EXPECT_EQ(ntohs(back.sin_port), 4333);
	EXPECT_EQ(back.sin_addr.s_addr, sa.sin_addr.s_addr);

	// A family other than IPv4 leaves the output alone.
	struct sockaddr_in other{};
	other.sin_family = AF_INET6;
	ox_sockaddr keep = 42;
	ox_sockaddr_convertto(&other, &keep);
	EXPECT_EQ(keep, 42u);
}

TEST_F(Socket, InterfaceListing)
{
	ox_ifaddr buf[64];
	ox_ifaddr *list = nullptr;
	int n = 0;
	ASSERT_EQ(ox_ifaddr_get(&list, &n, buf, sizeof(buf)), 0);
	EXPECT_EQ(list, buf);
	ASSERT_GE(n, 1); // loopback at least
	bool loopback = false;
	for (int i = 0; i < n; i++) {
		EXPECT_EQ(list[i].family, AF_INET);
		struct sockaddr_in in; // the entry's copy is not aligned for it
		memcpy(&in, &list[i].sa, sizeof(in));
		loopback |= in.sin_addr.s_addr == htonl(INADDR_LOOPBACK);
	}
	EXPECT_TRUE(loopback);
	EXPECT_EQ(ox_ifaddr_get(&list, &n, buf, 0), -2);
}

TEST_F(Socket, SelfCheckClosesWhatItOpened)
{
	int before = testkit_open_fds();
	EXPECT_EQ(ox_socket_test(), 0);
	EXPECT_EQ(testkit_open_fds(), before);
}

} // namespace
