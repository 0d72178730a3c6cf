// Info client. Requests up to 1023 bytes with their header go from a stack
// buffer; the reply takes one heap allocation of the size it states, after
// that size is checked against the caller's maximum and the library's cap.
#include "tamberlin/ka_info.h"

#include "tamberlin/ka_lookup.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_socket.h"
#include "tamberlin/proto.h"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int info_write(int fd, const uint8_t *buf, size_t len, int timeout_ms)
{
    return timeout_ms ? ka::ox_socket_write_timeout(fd, buf, len, 0, timeout_ms)
                      : ka::ox_socket_write_forever(fd, buf, len);
}

int info_read(int fd, uint8_t *buf, size_t len, int timeout_ms)
{
    return timeout_ms ? ka::ox_socket_read_timeout(fd, buf, len, 0, timeout_ms)
                      : ka::ox_socket_read_forever(fd, buf, len);
}

} // namespace

int tamberlin_info_host_limit(const struct sockaddr_in *sa, char *names, char **values, int timeout_ms,
                              bool send_as_is, uint64_t max_reply)
{
    *values = nullptr;
    // Room for the longest copied names, their newline and their terminator.
    char names_copy[KA_INFO_NAMES_MAX + 2];
    const char *send = names;
    size_t names_len = 0;
    if (names) {
        if (!send_as_is)
            for (char *p = names; *p; p++)
                if (*p == ':' || *p == ';' || *p == ',')
                    *p = '\n';
        names_len = strlen(names);
        if (names_len == 0 || names[names_len - 1] != '\n') {
            if (names_len + 1 > KA_INFO_NAMES_MAX + 1)
                return -1;
            memcpy(names_copy, names, names_len);
            names_copy[names_len++] = '\n';
            names_copy[names_len] = '\0';
            send = names_copy;
        }
    }
    const char *shown = send ? send : "";

    int fd = ka::ox_socket_create_and_connect_nb(sa);
    if (fd < 0)
        return -1;
    int rv = -1;
    uint8_t stackbuf[1024];
    uint8_t *req = stackbuf;
    uint8_t *reply = nullptr;
    do {
        size_t req_len = 8 + names_len;
        if (req_len > sizeof(stackbuf) - 1) {
            req = static_cast<uint8_t *>(malloc(req_len));
            if (!req)
                break;
        }
        memset(req, 0, req_len);
        req[0] = KA_PROTO_VERSION;
        req[1] = KA_PROTO_TYPE_INFO;
        ka_be_put(req + 2, names_len, 6);
        if (names_len)
            memcpy(req + 8, send, names_len);
        int wr = info_write(fd, req, req_len, timeout_ms);
        if (req != stackbuf) {
            free(req);
            req = stackbuf;
        }
        if (wr != 0)
            break;

        uint8_t head[8];
        if (info_read(fd, head, 8, timeout_ms) != 0)
            break;
        uint64_t sz = ka_be_get(head + 2, 6);
        if (sz == 0) {
            rv = 0;
            break;
        }
        const uint64_t limit = max_reply && max_reply < KA_INFO_REPLY_CAP ? max_reply : KA_INFO_REPLY_CAP;
        const bool excessive = sz > limit;
        // Only the head of an oversize reply is read, and never more than it holds.
        size_t to_read = excessive ? (sz < KA_INFO_EXCESSIVE_HEAD ? sz : KA_INFO_EXCESSIVE_HEAD) : sz;
        reply = static_cast<uint8_t *>(malloc(to_read + 1));
        if (!reply) {
            KA_LOG_WARN("Info request '%s' failed. Failed to malloc %d bytes", shown, static_cast<int>(to_read));
            break;
        }
        int rr = info_read(fd, reply, to_read, timeout_ms);
        if (rr != 0) {
            if (rr != 110)
                KA_LOG_WARN("Info request '%s' failed. Failed to read %d bytes. Return code %d", shown,
                            static_cast<int>(to_read), rr);
            break;
        }
        reply[to_read] = '\0';
        if (excessive) {
            KA_LOG_WARN("Info request '%s' failed. Response buffer length %lu is excessive. Buffer: %s", shown,
                        static_cast<unsigned long>(sz), reinterpret_cast<char *>(reply));
            break;
        }
        *values = reinterpret_cast<char *>(reply);
        reply = nullptr;
        rv = 0;
    } while (false);
    free(reply);
    shutdown(fd, SHUT_RDWR);
    close(fd);
    return rv;
}

int tamberlin_info_host(const struct sockaddr_in *sa, char *names, char **values, int timeout_ms, bool send_as_is)
{
    return tamberlin_info_host_limit(sa, names, values, timeout_ms, send_as_is, 0);
}

int tamberlin_info(char *host, short port, char *names, char **values, int timeout_ms)
{
    *values = nullptr;
    ox_vector_define(addrs, sizeof(struct sockaddr_in), 0);
    if (ka_lookup(nullptr, host, port, &addrs) != 0) {
        KA_LOG_DEBUG("Could not find host %s", host ? host : "NONAME");
        ox_vector_destroy(&addrs);
        return -1;
    }
    int rv = -1;
    for (uint32_t i = 0; i < ox_vector_size(&addrs); i++) {
        struct sockaddr_in sa;
        if (ox_vector_get(&addrs, i, &sa) == 0 && tamberlin_info_host(&sa, names, values, timeout_ms, false) == 0) {
            rv = 0;
            break;
        }
    }
    ox_vector_destroy(&addrs);
    return rv;
}

int tamberlin_info_parse_single(char *values, char **value)
{
    char *tab = strchr(values, '\t');
    if (!tab)
        return -1;
    *value = tab + 1;
    char *nl = strchr(*value, '\n');
    if (!nl)
        return -1;
    *nl = '\0';
    return 0;
}
