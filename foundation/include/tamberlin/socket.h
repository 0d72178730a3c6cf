/*
 * socket: the foundation's IPv4 sockets. A service (listening) socket, client
 * sockets with a bounded connect, a non-blocking connect, multicast sockets,
 * send and receive wrappers that never raise SIGPIPE, a packed 64-bit form of
 * an IPv4 address and port, and a listing of interface addresses.
 *
 * Every failure is logged to the context OX_SOCKET. The open operations give
 * 0 or a positive system error number (-1 for a description without address
 * or port); none of them leaves a descriptor open behind a failure.
 *
 * The cluster client library has socket calls of its own with some of the
 * same names; they live in its own namespace, so both link into one program.
 *
 * No shared state: each descriptor belongs to its caller; any thread.
 */
#pragma once

#include <net/if.h>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>

#define CONNECT_TIMEOUT 1000 /* ms, limit of ox_socket_init_client's connect */
#define OX_SOCKET_BACKLOG 512
#define OX_SOCKET_BIND_RETRY_MS 5000 /* pause while the address is in use */

/* The caller fills addr, port, reuse_addr and proto; the open calls fill the
 * rest. addr is dotted IPv4 text ("0.0.0.0" for every interface). */
typedef struct ox_socket_cfg_t {
	const char *addr;
	int port;                /* host order */
	bool reuse_addr;
	int proto;               /* SOCK_STREAM or SOCK_DGRAM */
	int sock;                /* -1 after a close or a failed client connect */
	struct sockaddr_in saddr; /* bound or connected address, network order */
} ox_socket_cfg;

typedef struct ox_mcastsocket_cfg_t {
	ox_socket_cfg s;      /* group address in s.addr, port in s.port */
	struct ip_mreq ireq;  /* filled by ox_mcastsocket_init */
	const char *tx_addr;  /* optional interface to send and join on */
	uint8_t mcast_ttl;    /* 0 keeps the system's default */
} ox_mcastsocket_cfg;

/* Bits 0-31: the address, bits 32-47: the port, both in network order as in
 * a sockaddr_in; bits 48-63 zero. */
typedef uint64_t ox_sockaddr;

typedef struct ox_ifaddr_s {
	uint32_t flags;
	uint16_t family;
	struct sockaddr sa;
} ox_ifaddr;

/* Opens, binds (waiting while the address is in use) and, for a stream
 * socket, listens. 0 with cfg->sock set; the failed call's error number (an
 * address that is not dotted IPv4 text gives EINVAL); -1 without address or
 * port. Nothing stays open on failure. */
int ox_socket_init_svc(ox_socket_cfg *cfg);
/* As ox_socket_init_svc, but port 0 lets the system choose a free port, which
 * is then in cfg->port and cfg->saddr. For tests and tools that must not
 * collide with anything else on the machine. */
int ox_socket_init_svc_anyport(ox_socket_cfg *cfg);
/* Adds O_NONBLOCK; 1. A descriptor whose flags cannot be set ends the
 * process (CRITICAL). */
int ox_socket_set_nonblocking(int fd);

/* The wrappers add MSG_NOSIGNAL to flags. errno is cleared before the call,
 * so after a result of 0 it tells a read that would block (EAGAIN) from a
 * peer that closed (0).
 * ox_socket_recv: the system's result, 0 when the read would block; an
 * interrupted read is retried. Errors caused by the peer or the network are
 * logged and give -1 (errno kept); only a descriptor the caller got wrong
 * (EBADF, ENOTSOCK, EFAULT, EINVAL) is CRITICAL. */
int ox_socket_recv(int fd, void *buf, size_t len, int flags);
int ox_socket_send(int fd, const void *buf, size_t len, int flags);
int ox_socket_recvfrom(int fd, void *buf, size_t len, int flags, ox_sockaddr *from);
int ox_socket_sendto(int fd, const void *buf, size_t len, int flags, ox_sockaddr to);

/* A blocking, connected client socket (the connect bounded by
 * CONNECT_TIMEOUT). 0, or an error number with cfg->sock -1. */
int ox_socket_init_client(ox_socket_cfg *cfg);
/* A non-blocking stream socket whose connect is under way or done. 0 with
 * *fd_r set, or an error number. */
int ox_socket_connect_nb(ox_sockaddr so, int *fd_r);
/* Shuts down and closes cfg->sock; sets it to -1. */
void ox_socket_close(ox_socket_cfg *cfg);

int ox_mcastsocket_init(ox_mcastsocket_cfg *mc);
void ox_mcastsocket_close(ox_mcastsocket_cfg *mc);

void ox_sockaddr_convertto(const struct sockaddr_in *src, ox_sockaddr *dst);
void ox_sockaddr_convertfrom(ox_sockaddr src, struct sockaddr_in *dst);
void ox_sockaddr_setport(ox_sockaddr *so, uint16_t port);

/* The interfaces with an IPv4 address, written into the caller's buffer.
 * 0; -1 when the system cannot list them; -2 when buf is too small. */
int ox_ifaddr_get(ox_ifaddr **ifaddr_r, int *ifaddr_sz_r, ox_ifaddr *buf, size_t bufsz);

/* A self-check that opens and closes up to 2048 sockets. 0. */
int ox_socket_test(void);
