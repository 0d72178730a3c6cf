// Questions put to a cluster's seeds directly (minimum build version, whether
// compressed requests may be sent) and clusters found again by a seed.
//
// Searches by seed hold cluster_ll_LOCK and one cluster's LOCK at a time; the
// network calls run with no lock held, on copies of the seed list taken under
// LOCK (seed texts live as long as the cluster).
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ka_cluster_internal.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_info.h"
#include "tamberlin/ox_log.h"

// The lowest server build that accepts compressed requests.
static const uint32_t compression_version[3] = {2, 6, 8};

static constexpr int BUILD_TIMEOUT_MS = 300;
static constexpr int NODE_NAME_TIMEOUT_MS = 3000;
static constexpr int DEFAULT_PORT = 3000;

// Copies of the seed list: host texts (owned by the cluster) and ports.
struct seed_list {
    ox_vector hosts;
    ox_vector ports;
};

static void seeds_copy(ka_cluster *asc, seed_list *s)
{
    ox_vector_pointer_init(&s->hosts, 10, 0);
    ox_vector_init(&s->ports, sizeof(int), 10, 0);
    pthread_mutex_lock(&asc->LOCK);
    for (uint32_t i = 0; i < ox_vector_size(&asc->host_str_v); i++) {
        ox_vector_pointer_append(&s->hosts, ox_vector_pointer_get(&asc->host_str_v, i));
        ox_vector_append(&s->ports, ox_vector_getp(&asc->host_port_v, i));
    }
    pthread_mutex_unlock(&asc->LOCK);
}

static void seeds_free(seed_list *s)
{
    ox_vector_destroy(&s->hosts);
    ox_vector_destroy(&s->ports);
}

// Reads one part of a version: digits up to `end` (or the end of the text).
static bool version_part(const char **p, char end, int *out)
{
    const char *s = *p;
    long v = 0;
    int digits = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + (*s - '0');
        if (v > INT_MAX) {
            return false;
        }
        s++;
        digits++;
    }
    if (digits == 0 || (*s != end && *s != 0)) {
        return false;
    }
    *out = (int)v;
    *p = *s ? s + 1 : s;
    return true;
}

// The value of a "build" reply as major, minor, patch; false when a part is
// missing or not a number.
static bool parse_build(char *reply, int ver[3])
{
    if (!reply) {
        return false;
    }
    char *p = reply;
    while (*p == '\t') {
        p++;
    }
    char *tab = strchr(p, '\t');
    if (!tab) {
        return false;
    }
    char *value = tab + 1;
    char *nl = strchr(value, '\n');
    if (nl) {
        *nl = 0;
    }
    const char *s = value;
    if (!version_part(&s, '.', &ver[0]) || !version_part(&s, '.', &ver[1])) {
        return false;
    }
    // The patch part ends at a "-" suffix.
    const char *dash = strchr(s, '-');
    char patch[16];
    size_t len = dash ? (size_t)(dash - s) : strlen(s);
    if (len == 0 || len >= sizeof(patch)) {
        return false;
    }
    memcpy(patch, s, len);
    patch[len] = 0;
    const char *ps = patch;
    return version_part(&ps, 0, &ver[2]);
}

// 0 with the version, -1 no answer, -2 an answer without three parts.
static int ask_build(struct sockaddr_in *sa, int ver[3])
{
    char names[] = "build";
    char *values = nullptr;
    if (tamberlin_info_host(sa, names, &values, BUILD_TIMEOUT_MS, false) != 0) {
        return -1;
    }
    int rv = parse_build(values, ver) ? 0 : -2;
    free(values);
    return rv;
}

static bool version_less(const int a[3], const int b[3])
{
    for (int i = 0; i < 3; i++) {
        if (a[i] != b[i]) {
            return a[i] < b[i];
        }
    }
    return false;
}

int *tamberlin_cluster_get_version(ka_cluster *asc)
{
    int *min = (int *)malloc(3 * sizeof(int));
    if (!min) {
        return nullptr;
    }
    min[0] = min[1] = min[2] = INT_MAX;
    seed_list seeds;
    seeds_copy(asc, &seeds);
    for (uint32_t i = 0; i < ox_vector_size(&seeds.hosts) && min; i++) {
        char *host = (char *)ox_vector_pointer_get(&seeds.hosts, i);
        int port = *(int *)ox_vector_getp(&seeds.ports, i);
        ox_vector_define(addrs, sizeof(struct sockaddr_in), 0);
        if (ka_lookup(asc, host, (short)port, &addrs) == 0) {
            int ver[3];
            int rv = -1;
            for (uint32_t k = 0; k < ox_vector_size(&addrs) && rv == -1; k++) {
                rv = ask_build((struct sockaddr_in *)ox_vector_getp(&addrs, k), ver);
            }
            if (rv == -1) {
                KA_LOG_INFO("Info call failed to Server %s while trying to get minimum version", host);
            } else if (rv == -2) {
                KA_LOG_INFO("Info call returned wrong info from Server %s while tryiing to get minimum version",
                            host);
            } else if (version_less(ver, min)) {
                memcpy(min, ver, sizeof(ver));
            }
            if (rv != 0) {
                free(min);
                min = nullptr;
            }
        }
        ox_vector_destroy(&addrs);
    }
    seeds_free(&seeds);
    return min;
}

static bool supports_compression(const int ver[3])
{
    for (int i = 0; i < 3; i++) {
        if ((uint32_t)ver[i] != compression_version[i]) {
            return (uint32_t)ver[i] > compression_version[i];
        }
    }
    return true;
}

static int store_threshold(ka_cluster *asc, int size_in_bytes)
{
    pthread_mutex_lock(&asc->LOCK);
    // Stored atomically too: every asynchronous write reads it without LOCK.
    std::atomic_ref<int32_t>(asc->compression_stat.compression_threshold).store(size_in_bytes,
                                                                                 std::memory_order_relaxed);
    pthread_mutex_unlock(&asc->LOCK);
    return size_in_bytes;
}

int tamberlin_cluster_change_compression_threshold(ka_cluster *asc, int size_in_bytes)
{
    seed_list seeds;
    seeds_copy(asc, &seeds);
    bool supported = true;
    for (uint32_t i = 0; size_in_bytes != 0 && supported && i < ox_vector_size(&seeds.hosts); i++) {
        char *host = (char *)ox_vector_pointer_get(&seeds.hosts, i);
        int port = *(int *)ox_vector_getp(&seeds.ports, i);
        ox_vector_define(addrs, sizeof(struct sockaddr_in), 0);
        // A seed that cannot be asked cannot be shown to support it.
        supported = ka_lookup(asc, host, (short)port, &addrs) == 0;
        for (uint32_t k = 0; supported && k < ox_vector_size(&addrs); k++) {
            int ver[3];
            supported = ask_build((struct sockaddr_in *)ox_vector_getp(&addrs, k), ver) == 0 &&
                        supports_compression(ver);
        }
        if (!supported) {
            KA_LOG_INFO("Server %s does not support compression. Disable it.", host);
        }
        ox_vector_destroy(&addrs);
    }
    seeds_free(&seeds);
    return store_threshold(asc, supported ? size_in_bytes : 0);
}

// Under cluster_ll_LOCK: the first cluster with this seed, its count raised
// for the caller; NULL when there is none.
static ka_cluster *find_by_seed_locked(const char *host, int port)
{
    for (ox_ll_element *e = ox_ll_get_head(&cluster_ll); e; e = ox_ll_get_next(e)) {
        ka_cluster *asc = (ka_cluster *)e;
        pthread_mutex_lock(&asc->LOCK);
        for (uint32_t i = 0; i < ox_vector_size(&asc->host_str_v); i++) {
            if (strcmp((char *)ox_vector_pointer_get(&asc->host_str_v, i), host) == 0 &&
                *(int *)ox_vector_getp(&asc->host_port_v, i) == port) {
                asc->ref_count++;
                pthread_mutex_unlock(&asc->LOCK);
                return asc;
            }
        }
        pthread_mutex_unlock(&asc->LOCK);
    }
    return nullptr;
}

static ka_cluster *find_by_seed(const char *host, int port)
{
    if (!ka_cluster_initialized()) {
        return nullptr;
    }
    pthread_mutex_lock(&cluster_ll_LOCK);
    ka_cluster *asc = find_by_seed_locked(host, port);
    pthread_mutex_unlock(&cluster_ll_LOCK);
    return asc;
}

ka_cluster *tamberlin_cluster_get_or_create(char *host, short port, int timeout_ms)
{
    if (!ka_cluster_initialized() || !host) {
        return nullptr;
    }
    ka_cluster *asc = find_by_seed(host, (uint16_t)port);
    if (asc) {
        return asc;
    }
    asc = tamberlin_cluster_create();
    if (!asc) {
        KA_LOG_ERROR("get_or_create - could not create cluster");
        return nullptr;
    }
    int rv = tamberlin_cluster_add_host(asc, host, port, timeout_ms);
    if (rv != 0) {
        KA_LOG_ERROR("get_or_create - add_host failed with error %d", rv);
        tamberlin_cluster_release_or_destroy(&asc);
        return nullptr;
    }
    return asc;
}

// Reads the leading digits of s as a port; 0 when there are none; -1 above 65535.
static int url_port(const char *s)
{
    long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > 65535) {
            return -1;
        }
    }
    return (int)v;
}

ka_cluster *tamberlin_cluster_get(const char *url)
{
    if (!url) {
        return nullptr;
    }
    char *copy = strdup(url);
    if (!copy) {
        return nullptr;
    }
    char *colon = strchr(copy, ':');
    // The host starts three characters after the first ":", which must be there.
    char *host = colon && strlen(colon) >= 3 ? colon + 3 : nullptr;
    int port = DEFAULT_PORT;
    if (host) {
        char *pc = strchr(host, ':');
        if (pc) {
            *pc = 0;
            port = url_port(pc + 1);
            if (port == 0) {
                port = DEFAULT_PORT;
            }
        } else {
            char *slash = strchr(host, '/');
            if (slash) {
                *slash = 0;
            }
        }
    }
    if (!host || !*host || port < 0) {
        KA_LOG_ERROR("warning: url %s illegal for tamberlin connect", url);
        free(copy);
        return nullptr;
    }
    ka_cluster *asc = find_by_seed(host, port);
    if (!asc) {
        asc = tamberlin_cluster_create();
        if (asc) {
            tamberlin_cluster_add_host(asc, host, (short)port, 0);
            if (tamberlin_cluster_get_nodecount(asc) == 0) {
                KA_LOG_ERROR("no node added in initial create");
                // Another caller may have found it by its seed meanwhile and
                // holds a count: only the last holder destroys it.
                tamberlin_cluster_release_or_destroy(&asc);
                asc = nullptr;
            }
        }
    }
    free(copy);
    return asc;
}

int ka_cluster_get_node_names_byhostportlist(ka_cluster *, char *list_nodes, int *n_nodes, char **node_names)
{
    *n_nodes = 0;
    *node_names = nullptr;
    if (!list_nodes) {
        return 0;
    }
    ox_vector_define(entries, sizeof(void *), 0);
    for (char *e = list_nodes; e;) {
        char *next = strchr(e, ';');
        if (next) {
            *next++ = 0;
        }
        ox_vector_pointer_append(&entries, e);
        e = next;
    }
    int n = (int)ox_vector_size(&entries);
    char *names = (char *)calloc((size_t)n, KA_NODE_NAME_SIZE);
    if (!names) {
        ox_vector_destroy(&entries);
        return 0;
    }
    *n_nodes = n;
    *node_names = names;
    int rv = 0;
    for (int i = 0; i < n && rv == 0; i++) {
        char *host = (char *)ox_vector_pointer_get(&entries, (uint32_t)i);
        char *colon = strchr(host, ':');
        int port = colon && !strchr(colon + 1, ':') ? ka_parse_port(colon + 1) : -1;
        if (port < 0) {
            KA_LOG_DEBUG("Command line input format error for option l\n");
            rv = -1;
            break;
        }
        *colon = 0;
        KA_LOG_DEBUG("host-port:%s:%d, ", host, port);
        char item[] = "node";
        char *values = nullptr;
        if (tamberlin_info(host, (short)port, item, &values, NODE_NAME_TIMEOUT_MS) != 0) {
            KA_LOG_DEBUG("%s:%u is not accessible or timed out. \n", host, (unsigned)port);
            rv = -2;
            break;
        }
        char *value = nullptr;
        if (values && tamberlin_info_parse_single(values, &value) == 0 && value) {
            KA_LOG_DEBUG("node-name:%s\n", value);
            ka_strncpy(names + (size_t)i * KA_NODE_NAME_SIZE, value, KA_NODE_NAME_SIZE);
        }
        free(values);
    }
    ox_vector_destroy(&entries);
    return rv;
}
