// Host lookup and the cluster's host-name substitutions.
//
// The reentrant resolver works in a caller's buffer; the lookup starts on a
// 1024-byte stack buffer and moves to a growing heap buffer only when the
// resolver asks for more room. A buffer that is too small is checked before
// anything else in the resolver's answer, since the resolver then reports no
// host entry as well. The resolver is a replaceable pointer so that tests can
// reach every error answer.
#include "tamberlin/ka_lookup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tamberlin/ka_cluster.h"
#include "tamberlin/ox_log.h"

std::atomic<ka_resolver_fn> g_ka_resolver{gethostbyname2_r};

// A resolver that keeps asking for room past this gets no more.
static constexpr size_t LOOKUP_BUF_MAX = 1u << 20;
static constexpr int LOOKUP_TEMP_FAILURES_MAX = 3;

void tamberlin_cluster_add_addr_map(ka_cluster *asc, char *orig, char *alt)
{
    if (!asc || !orig || !alt) {
        return;
    }
    for (uint32_t i = 0; i < ox_vector_size(&asc->host_addr_map_v); i++) {
        ka_addrmap *m = (ka_addrmap *)ox_vector_pointer_get(&asc->host_addr_map_v, i);
        if (strcmp(m->orig, orig) == 0) {
            char *copy = strdup(alt);
            if (copy) {
                free(m->alt);
                m->alt = copy;
            }
            return;
        }
    }
    ka_addrmap *m = (ka_addrmap *)malloc(sizeof(ka_addrmap));
    if (!m) {
        return;
    }
    m->orig = strdup(orig);
    m->alt = strdup(alt);
    if (!m->orig || !m->alt || ox_vector_pointer_append(&asc->host_addr_map_v, m) != 0) {
        free(m->orig);
        free(m->alt);
        free(m);
    }
}

static const char *substitute(ka_cluster *asc, const char *hostname)
{
    if (!asc) {
        return hostname;
    }
    for (uint32_t i = 0; i < ox_vector_size(&asc->host_addr_map_v); i++) {
        ka_addrmap *m = (ka_addrmap *)ox_vector_pointer_get(&asc->host_addr_map_v, i);
        if (strcmp(m->orig, hostname) == 0) {
            KA_LOG_DEBUG("Using %s instead of %s", m->alt, hostname);
            return m->alt;
        }
    }
    return hostname;
}

static int append_entry(const struct hostent *ent, uint16_t port, ox_vector *sockaddr_in_v)
{
    if (ent->h_addrtype != AF_INET || ent->h_length != 4) {
        KA_LOG_ERROR("unknown address type %d", ent->h_addrtype);
        return -1;
    }
    if (!ent->h_addr_list[0]) {
        return -1;
    }
    for (int i = 0; sockaddr_in_v && ent->h_addr_list[i]; i++) {
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        memcpy(&sa.sin_addr, ent->h_addr_list[i], 4);
        if (ox_vector_append_unique(sockaddr_in_v, &sa) != 0) {
            return -1;
        }
    }
    return 0;
}

int ka_lookup(ka_cluster *asc, char *hostname, short port, ox_vector *sockaddr_in_v)
{
    if (!hostname || !*hostname) {
        KA_LOG_ERROR("gethostbyname says no host at %s", "NONAME");
        return -1;
    }
    uint16_t uport = (uint16_t)port;
    if (uport == 0) {
        KA_LOG_ERROR("invalid port %d for host %s", (int)uport, hostname);
        return -1;
    }
    const char *name = substitute(asc, hostname);

    char stack_buf[1024];
    char *buf = stack_buf;
    size_t buf_sz = sizeof(stack_buf);
    int temp_failures = 0;
    int result = -1;
    for (;;) {
        struct hostent ent;
        struct hostent *res = nullptr;
        int herr = 0;
        int rv = g_ka_resolver.load()(name, AF_INET, &ent, buf, buf_sz, &res, &herr);
        if (rv == ERANGE) {
            char *bigger = buf_sz * 2 <= LOOKUP_BUF_MAX
                               ? (char *)(buf == stack_buf ? malloc(buf_sz * 2) : realloc(buf, buf_sz * 2))
                               : nullptr;
            if (!bigger) {
                KA_LOG_ERROR("malloc fail");
                break;
            }
            buf = bigger;
            buf_sz *= 2;
            continue;
        }
        if (!res) {
            if (herr == HOST_NOT_FOUND) {
                KA_LOG_ERROR("gethostbyname says no host at %s", name);
                break;
            }
            if (herr == TRY_AGAIN) {
                KA_LOG_ERROR("gethostbyname of %s returned TRY_AGAIN, try again (rv=%d)", name, rv);
                temp_failures++;
            } else if (herr == NO_RECOVERY) {
                KA_LOG_ERROR("gethostbyname of %s says form error (errno %d)", name, 3);
                break;
            } else if (herr == NO_DATA) {
                KA_LOG_ERROR("gethostbyname of %s says invalid address (errno %d)", name, 4);
                break;
            } else {
                KA_LOG_ERROR("gethostbyname of %s returned an unknown error (errno %d)", name, herr);
                break;
            }
        } else if (rv == 0) {
            result = append_entry(res, uport, sockaddr_in_v);
            break;
        } else if (rv == EAGAIN || herr == TRY_AGAIN) {
            KA_LOG_ERROR("gethostbyname returned EAGAIN, try again");
            temp_failures++;
        } else if (rv == ETIMEDOUT) {
            KA_LOG_ERROR("gethostbyname for %s timed out", name);
            break;
        } else {
            KA_LOG_ERROR("gethostbyname returned an unknown error %d %d (errno %d)", rv, herr, errno);
            break;
        }
        if (temp_failures >= LOOKUP_TEMP_FAILURES_MAX) {
            KA_LOG_ERROR("gethostbyname of %s - maxmimum retries failed", name);
            break;
        }
    }
    if (buf != stack_buf) {
        free(buf);
    }
    return result;
}
