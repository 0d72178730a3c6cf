/*
 * socket: IPv4 sockets behind the foundation's log conventions.
 *
 * The open calls close whatever they opened on every failure path, so a
 * caller that retries never piles up descriptors. The receive wrapper clears
 * errno first: its result of 0 means both "would block" and "peer closed",
 * and a stale EAGAIN from an earlier call must not make a closed peer look
 * like an idle one. Only a receive error that shows a caller's own mistake
 * (a wrong descriptor or buffer) ends the process; what a peer or the network
 * causes is logged and returned, and the caller closes that connection.
 *
 * No shared state; any thread.
 */
#include "tamberlin/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "tamberlin/fault.h"
#include "tamberlin/ox_clock.h"

static void
sleep_ms(int ms)
{
	struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
	while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
	}
}

static void
set_cloexec(int fd)
{
	int fl = fcntl(fd, F_GETFD);
	if (fl >= 0)
		(void)fcntl(fd, F_SETFD, fl | FD_CLOEXEC);
}

/* inet_pton gives 0 without touching errno for text that is no address: that
 * must be an error number, never 0. */
static int
parse_addr(const char *text, struct in_addr *out)
{
	errno = 0;
	int rv = inet_pton(AF_INET, text, out);
	if (rv == 1)
		return 0;
	return rv == 0 || errno == 0 ? EINVAL : errno;
}

static int
init_svc(ox_socket_cfg *cfg, bool any_port)
{
	if (!cfg)
		ox_crash(OX_SOCKET, OX_PROCESS, "invalid argument");
	cfg->sock = -1;
	if (!cfg->addr) {
		ox_info(OX_SOCKET, "Could not initialize service, check config file");
		return -1;
	}
	if (cfg->port == 0 && !any_port) {
		ox_info(OX_SOCKET, "could not initialize service, missing port, check config file");
		return -1;
	}
	if (cfg->port < 0 || cfg->port > 65535) {
		ox_warning(OX_SOCKET, "bind: port %d out of range", cfg->port);
		return EINVAL;
	}

	int fd = socket(AF_INET, cfg->proto, 0);
	if (fd < 0) {
		int err = errno;
		ox_warning(OX_SOCKET, "socket: %s", ox_strerror(err));
		return err;
	}
	memset(&cfg->saddr, 0, sizeof(cfg->saddr));
	cfg->saddr.sin_family = AF_INET;
	int err = parse_addr(cfg->addr, &cfg->saddr.sin_addr);
	if (err != 0) {
		ox_warning(OX_SOCKET, "inet_pton: %s", ox_strerror(err));
		close(fd);
		return err;
	}
	cfg->saddr.sin_port = htons((uint16_t)cfg->port);
	if (cfg->reuse_addr) {
		int one = 1;
		(void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	}
	set_cloexec(fd);

	while (bind(fd, (struct sockaddr *)&cfg->saddr, sizeof(cfg->saddr)) < 0) {
		err = errno;
		if (err != EADDRINUSE) {
			ox_warning(OX_SOCKET, "bind: %s", ox_strerror(err));
			close(fd);
			return err;
		}
		ox_warning(OX_SOCKET, "bind: socket in use, waiting (port:%d)", cfg->port);
		sleep_ms(OX_SOCKET_BIND_RETRY_MS);
	}
	if (cfg->proto == SOCK_STREAM && listen(fd, OX_SOCKET_BACKLOG) < 0) {
		err = errno;
		ox_warning(OX_SOCKET, "listen: %s", ox_strerror(err));
		close(fd);
		return err;
	}
	if (any_port) {
		socklen_t len = sizeof(cfg->saddr);
		(void)getsockname(fd, (struct sockaddr *)&cfg->saddr, &len);
		cfg->port = ntohs(cfg->saddr.sin_port);
	}
	cfg->sock = fd;
	return 0;
}

int
ox_socket_init_svc(ox_socket_cfg *cfg)
{
	return init_svc(cfg, false);
}

int
ox_socket_init_svc_anyport(ox_socket_cfg *cfg)
{
	return init_svc(cfg, true);
}

int
ox_socket_set_nonblocking(int fd)
{
	int fl = fcntl(fd, F_GETFL, 0);
	if (fl < 0)
		fl = 0;
	if (fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0)
		ox_crash(OX_SOCKET, OX_PROCESS, "fcntl(): %s", ox_strerror(errno));
	return 1;
}

int
ox_socket_recv(int fd, void *buf, size_t len, int flags)
{
	int rv;
	do {
		errno = 0;
		rv = (int)recv(fd, buf, len, flags | MSG_NOSIGNAL);
	} while (rv < 0 && errno == EINTR);
	if (rv > 0)
		return rv;
	int err = errno;
	if (rv < 0 && (err == EAGAIN || err == EWOULDBLOCK))
		return 0;
	if (rv == 0 || err == ECONNRESET) {
		ox_detail(OX_SOCKET, "socket disconnected");
		return rv;
	}
	if (err == EBADF || err == ENOTSOCK || err == EFAULT || err == EINVAL)
		ox_crash(OX_SOCKET, OX_PROCESS, "recv() failed: %d %s", err, ox_strerror(err));
	ox_info(OX_SOCKET, "recv() failed: %d %s", err, ox_strerror(err));
	errno = err;
	return rv;
}

int
ox_socket_send(int fd, const void *buf, size_t len, int flags)
{
	errno = 0;
	int rv = (int)send(fd, buf, len, flags | MSG_NOSIGNAL);
	if (rv <= 0) {
		int err = errno;
		ox_warning(OX_SOCKET, "send() failed: %d %s", err, ox_strerror(err));
		errno = err;
	}
	return rv;
}

int
ox_socket_recvfrom(int fd, void *buf, size_t len, int flags, ox_sockaddr *from)
{
	struct sockaddr_in sa;
	socklen_t salen = sizeof(sa);
	memset(&sa, 0, sizeof(sa));
	errno = 0;
	int rv = (int)recvfrom(fd, buf, len, flags | MSG_NOSIGNAL, (struct sockaddr *)&sa, &salen);
	if (rv < 1) {
		int err = errno;
		ox_warning(OX_SOCKET, "recvfrom() failed: %d %s", err, ox_strerror(err));
		if (from)
			*from = 0;
		errno = err;
	} else if (from) {
		ox_sockaddr_convertto(&sa, from);
	}
	return rv;
}

int
ox_socket_sendto(int fd, const void *buf, size_t len, int flags, ox_sockaddr to)
{
	struct sockaddr_in sa;
	int rv;
	errno = 0;
	if (to != 0) {
		ox_sockaddr_convertfrom(to, &sa);
		rv = (int)sendto(fd, buf, len, flags | MSG_NOSIGNAL, (struct sockaddr *)&sa, sizeof(sa));
	} else {
		rv = (int)sendto(fd, buf, len, flags | MSG_NOSIGNAL, nullptr, 0);
	}
	if (rv < 1) {
		int err = errno;
		ox_info(OX_SOCKET, "sendto() failed: %d %s", err, ox_strerror(err));
		errno = err;
	}
	return rv;
}

/* The connect's wait for writability, 1 ms per round until CONNECT_TIMEOUT.
 * 0 when connected, else an error number. */
static int
wait_connected(int fd)
{
	ox_clock start = ox_getms();
	int efd = epoll_create(1);
	if (efd < 0) {
		int err = errno;
		ox_warning(OX_SOCKET, "epoll_create() failed (errno %d: \"%s\")", err, ox_strerror(err));
		return err;
	}
	struct epoll_event ev;
	memset(&ev, 0, sizeof(ev));
	ev.events = EPOLLOUT;
	ev.data.fd = fd;
	if (epoll_ctl(efd, EPOLL_CTL_ADD, fd, &ev) < 0) {
		int err = errno;
		ox_warning(OX_SOCKET, "epoll_ctl(ADD) of client socket failed (errno %d: \"%s\")", err,
				ox_strerror(err));
		close(efd);
		return err;
	}
	int err = ETIMEDOUT;
	for (int round = 0;; round++) {
		struct epoll_event evs[1];
		/* Room for one event only, so more than one cannot come back. */
		int n = epoll_wait(efd, evs, 1, 1);
		if (n < 0) {
			if (errno == EINTR) {
				ox_debug(OX_SOCKET, "epoll_wait() on client socket encountered EINTR ~~ Retrying!");
			} else {
				err = errno;
				ox_warning(OX_SOCKET, "epoll_wait() on client socket failed (errno %d: \"%s\") ~~ Failing!",
						err, ox_strerror(err));
				break;
			}
		} else if (n == 0) {
			ox_debug(OX_SOCKET, "epoll_wait() returned no events ~~ Retrying!");
		} else if (evs[0].data.fd != fd) {
			ox_warning(OX_SOCKET, "epoll_wait() on client socket returned event on unknown socket %d ~~ Retrying!",
					evs[0].data.fd);
		} else if (evs[0].events & EPOLLOUT && !(evs[0].events & (EPOLLERR | EPOLLHUP))) {
			ox_debug(OX_SOCKET, "epoll_wait() on client socket ready for write detected ~~ Succeeding!");
			if (epoll_ctl(efd, EPOLL_CTL_DEL, fd, &ev) < 0)
				ox_warning(OX_SOCKET, "epoll_ctl(DEL) on client socket failed (errno %d: \"%s\")", errno,
						ox_strerror(errno));
			close(efd);
			return 0;
		} else {
			if (evs[0].events & (EPOLLERR | EPOLLHUP))
				ox_warning(OX_SOCKET, "epoll_wait() on client socket detected failure event 0x%x ~~ Failing!",
						evs[0].events);
			else
				ox_warning(OX_SOCKET, "epoll_wait() on client socket detected non-write events 0x%x ~~ Failing!",
						evs[0].events);
			int soerr = 0;
			socklen_t len = sizeof(soerr);
			(void)getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
			err = soerr != 0 ? soerr : ECONNREFUSED;
			break;
		}
		ox_debug(OX_SOCKET, "Connect epoll loop:  Retry #%d", round);
		if (ox_getms() > start + CONNECT_TIMEOUT) {
			ox_warning(OX_SOCKET, "Error in delayed connect(): timed out");
			err = ETIMEDOUT;
			break;
		}
	}
	close(efd);
	return err;
}

int
ox_socket_init_client(ox_socket_cfg *cfg)
{
	if (!cfg)
		ox_crash(OX_SOCKET, OX_PROCESS, "invalid argument");
	cfg->sock = -1;
	int fd = socket(AF_INET, cfg->proto, 0);
	if (fd < 0) {
		int err = errno;
		ox_warning(OX_SOCKET, "socket: %s", ox_strerror(err));
		return err;
	}
	set_cloexec(fd);
	(void)fcntl(fd, F_SETFL, O_NONBLOCK);
	memset(&cfg->saddr, 0, sizeof(cfg->saddr));
	cfg->saddr.sin_family = AF_INET;
	int err = cfg->addr ? parse_addr(cfg->addr, &cfg->saddr.sin_addr) : EINVAL;
	if (err != 0) {
		ox_warning(OX_SOCKET, "inet_pton: %s", ox_strerror(err));
		close(fd);
		return err;
	}
	cfg->saddr.sin_port = htons((uint16_t)cfg->port);

	int rv = connect(fd, (struct sockaddr *)&cfg->saddr, sizeof(cfg->saddr));
	err = rv < 0 ? errno : 0;
	ox_debug(OX_SOCKET, "connect: rv %d errno %s", rv, ox_strerror(err));
	if (rv == 0)
		ox_debug(OX_SOCKET, "client socket connect() in 1 try!");
	else if (err == EINPROGRESS)
		err = wait_connected(fd);
	if (err != 0) {
		ox_debug(OX_SOCKET, "connect fail: %s", ox_strerror(err));
		close(fd);
		return err;
	}
	int one = 1;
	(void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
	int fl = fcntl(fd, F_GETFL, 0);
	if (fl >= 0)
		(void)fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
	cfg->sock = fd;
	return 0;
}

int
ox_socket_connect_nb(ox_sockaddr so, int *fd_r)
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	if (fd < 0) {
		int err = errno;
		ox_warning(OX_SOCKET, "socket connect error: %d %s", err, ox_strerror(err));
		return err;
	}
	set_cloexec(fd);
	ox_socket_set_nonblocking(fd);
	struct sockaddr_in sa;
	ox_sockaddr_convertfrom(so, &sa);
	if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0 && errno != EINPROGRESS) {
		int err = errno;
		ox_warning(OX_SOCKET, "socket connect error: %d %s", err, ox_strerror(err));
		close(fd);
		return err;
	}
	*fd_r = fd;
	return 0;
}

void
ox_socket_close(ox_socket_cfg *cfg)
{
	if (!cfg) {
		ox_warning(OX_SOCKET, "not closing null socket!");
		return;
	}
	if (cfg->sock >= 0) {
		shutdown(cfg->sock, SHUT_RDWR);
		close(cfg->sock);
	}
	cfg->sock = -1;
}

int
ox_mcastsocket_init(ox_mcastsocket_cfg *mc)
{
	ox_socket_cfg *s = &mc->s;
	s->sock = -1;
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd < 0) {
		int err = errno;
		ox_warning(OX_SOCKET, "multicast socket open error: %d %s", err, ox_strerror(err));
		return err;
	}
	ox_debug(OX_SOCKET, "mcast_socket init: socket %d", fd);
	int one = 1;
	if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) < 0) {
		int err = errno;
		ox_warning(OX_SOCKET, "multicast socket reuse failed: %d %s", err, ox_strerror(err));
		close(fd);
		return err;
	}
	set_cloexec(fd);
	memset(&s->saddr, 0, sizeof(s->saddr));
	s->saddr.sin_family = AF_INET;
	s->saddr.sin_addr.s_addr = htonl(INADDR_ANY);
	s->saddr.sin_port = htons((uint16_t)s->port);

	struct in_addr ifaddr;
	ifaddr.s_addr = htonl(INADDR_ANY);
	if (mc->tx_addr) {
		int err = parse_addr(mc->tx_addr, &ifaddr);
		if (err == 0 && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof(ifaddr)) < 0)
			err = errno;
		if (err != 0) {
			ox_warning(OX_SOCKET, "IP_MULTICAST_IF: %d %s", err, ox_strerror(err));
			close(fd);
			return err;
		}
	}
	if (mc->mcast_ttl != 0) {
		unsigned char ttl = mc->mcast_ttl;
		if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) < 0)
			ox_warning(OX_SOCKET, "IP_MULTICAST_TTL: %d %s", errno, ox_strerror(errno));
		else
			ox_info(OX_SOCKET, "setting multicast TTL to be %d", ttl);
	}
	while (bind(fd, (struct sockaddr *)&s->saddr, sizeof(s->saddr)) < 0) {
		ox_info(OX_SOCKET, "multicast socket bind failed: %d %s", errno, ox_strerror(errno));
		sleep_ms(1000);
	}
	memset(&mc->ireq, 0, sizeof(mc->ireq));
	if (!s->addr || parse_addr(s->addr, &mc->ireq.imr_multiaddr) != 0)
		mc->ireq.imr_multiaddr.s_addr = htonl(INADDR_ANY);
	mc->ireq.imr_interface = ifaddr;
	(void)setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mc->ireq, sizeof(mc->ireq));
	s->sock = fd;
	return 0;
}

void
ox_mcastsocket_close(ox_mcastsocket_cfg *mc)
{
	if (mc->s.sock >= 0)
		close(mc->s.sock);
	mc->s.sock = -1;
}

void
ox_sockaddr_convertto(const struct sockaddr_in *src, ox_sockaddr *dst)
{
	if (src->sin_family != AF_INET)
		return;
	uint64_t addr = src->sin_addr.s_addr; /* already network order */
	uint64_t port = src->sin_port;
	*dst = addr | (port << 32);
}

void
ox_sockaddr_convertfrom(ox_sockaddr src, struct sockaddr_in *dst)
{
	memset(dst, 0, sizeof(*dst));
	dst->sin_family = AF_INET;
	dst->sin_addr.s_addr = (uint32_t)(src & 0xFFFFFFFFu);
	dst->sin_port = (uint16_t)((src >> 32) & 0xFFFFu);
}

void
ox_sockaddr_setport(ox_sockaddr *so, uint16_t port)
{
	*so = (*so & 0xFFFFFFFFull) | ((uint64_t)htons(port) << 32);
}

int
ox_ifaddr_get(ox_ifaddr **ifaddr_r, int *ifaddr_sz_r, ox_ifaddr *buf, size_t bufsz)
{
	struct ifaddrs *list = nullptr;
	int rv = getifaddrs(&list);
	if (rv != 0) {
		ox_info(OX_SOCKET, " could not get interface information: return value %d errno %d", rv, errno);
		return -1;
	}
	size_t n = 0;
	for (struct ifaddrs *i = list; i; i = i->ifa_next)
		if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
			n++;
	if (n * sizeof(ox_ifaddr) > bufsz) {
		freeifaddrs(list);
		return -2;
	}
	size_t k = 0;
	for (struct ifaddrs *i = list; i; i = i->ifa_next) {
		if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
			continue;
		buf[k].flags = i->ifa_flags;
		buf[k].family = i->ifa_addr->sa_family;
		memcpy(&buf[k].sa, i->ifa_addr, sizeof(struct sockaddr));
		k++;
	}
	freeifaddrs(list);
	*ifaddr_r = buf;
	*ifaddr_sz_r = (int)k;
	return 0;
}

int
ox_socket_test(void)
{
	ox_info(OX_SOCKET, "socket test: opening up to 2048 sockets");
	struct rlimit rl;
	if (getrlimit(RLIMIT_NOFILE, &rl) == 0)
		ox_info(OX_SOCKET, "socket test: descriptor limits soft %lu hard %lu", (unsigned long)rl.rlim_cur,
				(unsigned long)rl.rlim_max);
	std::vector<int> fds;
	for (int i = 0; i < 2048; i++) {
		int fd = socket(AF_INET, SOCK_STREAM, 0);
		if (fd < 0)
			break;
		fds.push_back(fd);
	}
	ox_info(OX_SOCKET, "socket test: opened %zu sockets", fds.size());
	size_t closed = 0;
	for (int fd : fds)
		if (close(fd) == 0)
			closed++;
	ox_info(OX_SOCKET, "socket test: closed %zu sockets", closed);
	ox_info(OX_SOCKET, "socket test: success");
	return 0;
}
