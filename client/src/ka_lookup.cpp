// Host lookup with the reentrant IPv4 resolver. Temporary failures are retried
// up to three times; answers that only ask for a larger buffer do not count.
#include "tamberlin/ka_lookup.h"

#include "tamberlin/ox_log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>

int ka_lookup(struct ka_cluster_s *, char *hostname, short port, ox_vector *sockaddr_in_v)
{
    // The cluster's host-name substitutions are consulted here once the
    // cluster objects carry them; without a cluster none apply.
    const char *name = hostname ? hostname : "NONAME";
    char stackbuf[1024];
    char *buf = stackbuf;
    size_t buf_sz = sizeof(stackbuf);
    int temp_failures = 0;
    int result = -1;
    for (;;) {
        struct hostent he, *res = nullptr;
        int herr = 0;
        int rv = gethostbyname2_r(name, AF_INET, &he, buf, buf_sz, &res, &herr);
        bool retry = false;
        if (!res) {
            if (rv == ERANGE) {
                // glibc reports a short buffer without an entry; grow it.
                size_t nsz = buf_sz * 2;
                char *nb = static_cast<char *>(buf == stackbuf ? malloc(nsz) : realloc(buf, nsz));
                if (!nb) {
                    KA_LOG_ERROR("malloc fail");
                    break;
                }
                buf = nb;
                buf_sz = nsz;
                continue;
            }
            if (herr == HOST_NOT_FOUND) {
                KA_LOG_ERROR("gethostbyname says no host at %s", name);
            } else if (herr == TRY_AGAIN) {
                KA_LOG_ERROR("gethostbyname of %s returned TRY_AGAIN, try again (rv=%d)", name, rv);
                temp_failures++;
                retry = true;
            } else if (herr == NO_RECOVERY) {
                KA_LOG_ERROR("gethostbyname of %s says form error (errno %d)", name, 3);
            } else if (herr == NO_DATA) {
                KA_LOG_ERROR("gethostbyname of %s says invalid address (errno %d)", name, 4);
            } else {
                KA_LOG_ERROR("gethostbyname of %s returned an unknown error (errno %d)", name, herr);
            }
        } else if (rv == 0) {
            if (res->h_addrtype != AF_INET) {
                KA_LOG_ERROR("unknown address type %d", res->h_addrtype);
                break;
            }
            result = 0;
            for (int i = 0; res->h_addr_list[i]; i++) {
                struct sockaddr_in sa;
                memset(&sa, 0, sizeof(sa));
                sa.sin_family = AF_INET;
                sa.sin_port = htons(static_cast<uint16_t>(port));
                memcpy(&sa.sin_addr, res->h_addr_list[i], sizeof(sa.sin_addr));
                if (sockaddr_in_v && ox_vector_append_unique(sockaddr_in_v, &sa) != 0)
                    result = -1;
            }
            break;
        } else if (rv == ERANGE) {
            size_t nsz = buf_sz * 2;
            char *nb = static_cast<char *>(buf == stackbuf ? malloc(nsz) : realloc(buf, nsz));
            if (!nb) {
                KA_LOG_ERROR("malloc fail");
                break;
            }
            buf = nb;
            buf_sz = nsz;
            continue;
        } else if (rv == EAGAIN || herr == TRY_AGAIN) {
            KA_LOG_ERROR("gethostbyname returned EAGAIN, try again");
            temp_failures++;
            retry = true;
        } else if (rv == ETIMEDOUT) {
            KA_LOG_ERROR("gethostbyname for %s timed out", name);
        } else {
            KA_LOG_ERROR("gethostbyname returned an unknown error %d %d (errno %d)", rv, herr, errno);
        }
        if (!retry)
            break;
        if (temp_failures >= 3) {
            KA_LOG_ERROR("gethostbyname of %s - maxmimum retries failed", name);
            break;
        }
    }
    if (buf != stackbuf)
        free(buf);
    return result;
}
