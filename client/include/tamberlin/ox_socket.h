// Client sockets: non-blocking TCP with transfers bounded by an attempt time
// and a transaction deadline, plus the client's own copy of the millisecond clock.
//
// Result codes of the transfer calls (a number space shared with server codes):
//   0                  success, the whole buffer moved
//   positive errno     from select/read/send/connect
//   110 (ETIMEDOUT)    the attempt time or the transaction deadline passed
//   9   (EBADF)        the peer closed (0 bytes); timed read: could not go non-blocking
//   2   (ENOENT)       the blocking mode could not be changed
//   -1                 the descriptor set could not be allocated
// Bytes already moved stay moved: a failed call leaves the stream out of step,
// so the caller closes the descriptor (these calls never close it).
// Each descriptor is used by one thread at a time; the calls keep no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

namespace ka {

// Monotonic milliseconds: seconds * 1000 + nanoseconds / 1,000,000.
uint64_t ox_getms();

// Bytes of a select descriptor set that holds fd: whole 1024-bit sets.
constexpr size_t ox_fdset_size(int fd)
{
    return (static_cast<size_t>(fd) / 1024 + 1) * 128;
}

int ox_socket_create_nb();
int ox_socket_start_connect_nb(int fd, const struct sockaddr_in *sa);
// A descriptor whose connect may still be in progress, or -1 (nothing left open).
int ox_socket_create_and_connect_nb(const struct sockaddr_in *sa);

// deadline: ox_getms() value bounding the whole transaction, 0 for none;
// attempt_ms bounds this one call.
int ox_socket_read_timeout(int fd, uint8_t *buf, size_t len, uint64_t deadline, int attempt_ms);
int ox_socket_write_timeout(int fd, const uint8_t *buf, size_t len, uint64_t deadline, int attempt_ms);
// Blocking transfers without a time limit; the read leaves the socket blocking,
// the write restores its non-blocking bit.
int ox_socket_read_forever(int fd, uint8_t *buf, size_t len);
int ox_socket_write_forever(int fd, const uint8_t *buf, size_t len);

// Logs "prefix a.b.c.d:port" at OX_ERROR.
void ox_print_sockaddr_in(const char *prefix, const struct sockaddr_in *sa);

} // namespace ka
