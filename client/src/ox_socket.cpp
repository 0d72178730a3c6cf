// Client socket transfers. The timed calls wait with select on descriptor sets
// sized by the descriptor, so descriptors of 1024 and above work; sets of up to
// 128 KB live on the stack. A wait interrupted by a signal is resumed with the
// same end time, and writes use send(MSG_NOSIGNAL) so a closed peer never
// raises SIGPIPE in the embedding process.
#include "tamberlin/ox_socket.h"

#include "tamberlin/ox_log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ka {

uint64_t ox_getms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

int ox_socket_create_nb()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        KA_LOG_WARN("could not allocate socket, errno %d", errno);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        KA_LOG_WARN("could not read socket flags");
        close(fd);
        return -1;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        KA_LOG_WARN("could not set socket nonblocking");
        close(fd);
        return -1;
    }
    int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

int ox_socket_start_connect_nb(int fd, const struct sockaddr_in *sa)
{
    if (connect(fd, reinterpret_cast<const struct sockaddr *>(sa), sizeof(*sa)) == 0 ||
        errno == EINPROGRESS)
        return 0;
    if (errno == ECONNREFUSED)
        KA_LOG_DEBUG("host refused socket connection");
    else
        KA_LOG_INFO("could not connect nonblocking socket %d, errno %d", fd, errno);
    return -1;
}

int ox_socket_create_and_connect_nb(const struct sockaddr_in *sa)
{
    int fd = ox_socket_create_nb();
    if (fd < 0)
        return -1;
    if (ox_socket_start_connect_nb(fd, sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sets fd's bit in a set of ox_fdset_size(fd) bytes (FD_SET stops at 1023).
static void fdset_add(uint8_t *set, size_t setsz, int fd)
{
    memset(set, 0, setsz);
    set[fd / 8] = static_cast<uint8_t>(set[fd / 8] | (1u << (fd % 8)));
}

static bool fdset_has(const uint8_t *set, int fd)
{
    return (set[fd / 8] >> (fd % 8)) & 1u;
}

// The timed read and write differ only in the set they wait on, the transfer
// call and the code of a failed mode change.
static int transfer_timeout(int fd, uint8_t *rbuf, const uint8_t *wbuf, size_t len, uint64_t deadline,
                            int attempt_ms)
{
    const bool is_read = rbuf != nullptr;
    int flags = fcntl(fd, F_GETFL, 0);
    int rv = 0;
    if (flags < 0)
        rv = fcntl(fd, F_SETFL, O_NONBLOCK);
    else if (!(flags & O_NONBLOCK))
        rv = fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (rv < 0)
        return is_read ? EBADF : ENOENT;
    // Nothing to move is done at once: a read of 0 bytes would otherwise look
    // like the peer closing (9).
    if (len == 0)
        return 0;

    uint64_t end = ox_getms() + static_cast<uint64_t>(attempt_ms > 0 ? attempt_ms : 0);
    if (deadline != 0 && deadline < end)
        end = deadline;

    const size_t setsz = ox_fdset_size(fd);
    uint8_t *heapset = nullptr;
    uint8_t *set;
    if (setsz <= 131072) {
        set = static_cast<uint8_t *>(alloca(setsz));
    } else {
        heapset = static_cast<uint8_t *>(malloc(setsz));
        if (!heapset) {
            KA_LOG_WARN("fdset allocation error: %d", static_cast<int>(setsz));
            return -1;
        }
        set = heapset;
    }

    size_t done = 0;
    int result;
    for (;;) {
        uint64_t now = ox_getms();
        if (now > end) {
            result = ETIMEDOUT;
            break;
        }
        fdset_add(set, setsz, fd);
        uint64_t wait = end - now;
        struct timeval tv;
        tv.tv_sec = static_cast<time_t>(wait / 1000);
        tv.tv_usec = static_cast<suseconds_t>((wait % 1000) * 1000);
        fd_set *fs = reinterpret_cast<fd_set *>(set);
        int n = select(fd + 1, is_read ? fs : nullptr, is_read ? nullptr : fs, nullptr, &tv);
        if (n < 0) {
            if (errno == EINTR)
                continue; // same end time: a signal does not extend the attempt
            result = errno;
            break;
        }
        if (n == 0)
            continue;
        if (!fdset_has(set, fd)) {
            if (done == len) {
                result = 0;
                break;
            }
            continue;
        }
        ssize_t r = is_read ? read(fd, rbuf + done, len - done)
                            : send(fd, wbuf + done, len - done, MSG_NOSIGNAL);
        if (r > 0) {
            done += static_cast<size_t>(r);
            if (done == len) {
                result = 0;
                break;
            }
            continue;
        }
        if (r == 0) {
            result = EBADF;
            break;
        }
        if (errno == ETIMEDOUT || errno == EAGAIN || errno == EINPROGRESS || errno == EINTR) {
            if (done == len) {
                result = 0;
                break;
            }
            continue;
        }
        result = errno;
        break;
    }
    free(heapset);
    return result;
}

int ox_socket_read_timeout(int fd, uint8_t *buf, size_t len, uint64_t deadline, int attempt_ms)
{
    return transfer_timeout(fd, buf, nullptr, len, deadline, attempt_ms);
}

int ox_socket_write_timeout(int fd, const uint8_t *buf, size_t len, uint64_t deadline, int attempt_ms)
{
    return transfer_timeout(fd, nullptr, buf, len, deadline, attempt_ms);
}

int ox_socket_read_forever(int fd, uint8_t *buf, size_t len)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0 && (flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0)
        return ENOENT;
    size_t done = 0;
    while (done < len) {
        ssize_t r = read(fd, buf + done, len - done);
        if (r > 0)
            done += static_cast<size_t>(r);
        else if (r == 0)
            return EBADF;
        else if (errno != ETIMEDOUT && errno != EINTR)
            return errno;
    }
    return 0;
}

int ox_socket_write_forever(int fd, const uint8_t *buf, size_t len)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0 && (flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0)
        return ENOENT;
    size_t done = 0;
    while (done < len) {
        ssize_t r = send(fd, buf + done, len - done, MSG_NOSIGNAL);
        if (r > 0)
            done += static_cast<size_t>(r);
        else if (r < 0 && errno != ETIMEDOUT && errno != EINTR)
            return errno;
    }
    if (fcntl(fd, F_SETFL, flags >= 0 ? (flags & O_NONBLOCK) : 0) < 0)
        return ENOENT;
    return 0;
}

void ox_print_sockaddr_in(const char *prefix, const struct sockaddr_in *sa)
{
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sa->sin_addr, ip, sizeof(ip));
    KA_LOG_ERROR("%s %s:%d", prefix, ip, ntohs(sa->sin_port));
}

} // namespace ka
