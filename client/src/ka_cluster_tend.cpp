// Cluster tending: discovery from seeds and services lists, node checks over
// each node's persistent info socket, partition maps fetched when a node's
// generation changes, aging of nodes that master nothing, and health.
//
// A node's generation counts as seen only once its maps were applied, so a
// reply read before the partition count was known is read again later. Every
// text a node sends is checked before it is stored: node names of 1 to 19
// characters, decimal generations and partition counts that are powers of
// two, ports from 1 to 65535; a check whose reply is malformed counts as a
// failed check of that node.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ka_cluster_internal.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_info.h"
#include "tamberlin/ka_shm.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_socket.h"
#include "tamberlin/proto.h"

static const char INFO_STR_CHECK[] = "node\npartition-generation\nservices\n";
static const char INFO_STR_GET_REPLICAS[] = "partition-generation\nreplicas-master\nreplicas-prole\n";

static constexpr size_t INFO_STACK_BUF_SZ = 16384;
static constexpr uint64_t INFO_RESPONSE_MAX = 524288;
// Replies of the one-off requests of a name, a count or a check.
static constexpr uint64_t INFO_SHORT_REPLY_MAX = 10000;
static constexpr uint64_t INFO_REPLICAS_REPLY_MAX = 2000000;

// --- Small texts ---

bool ka_strncpy(char *trg, const char *src, int len)
{
    if (len <= 0) {
        return true;
    }
    size_t n = strnlen(src, (size_t)len);
    bool cut = n >= (size_t)len;
    if (cut) {
        n = (size_t)len - 1;
    }
    memcpy(trg, src, n);
    trg[n] = 0;
    return cut;
}

// Reads a whole decimal text of at most max; false for anything else.
static bool parse_decimal(const char *s, uint64_t max, uint64_t *out)
{
    if (!s || !*s) {
        return false;
    }
    uint64_t v = 0;
    for (const char *p = s; *p; p++) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        v = v * 10 + (uint64_t)(*p - '0');
        if (v > max) {
            return false;
        }
    }
    *out = v;
    return true;
}

int ka_parse_port(const char *s)
{
    uint64_t v;
    if (!parse_decimal(s, 65535, &v) || v == 0) {
        return -1;
    }
    return (int)v;
}

static bool node_name_valid(const char *name)
{
    size_t n = strlen(name);
    return n > 0 && n < KA_NODE_NAME_SIZE;
}

// Cuts the next line off *text (at "\n"); NULL when none is left.
static char *next_line(char **text)
{
    if (!*text || !**text) {
        return nullptr;
    }
    char *line = *text;
    char *nl = strchr(line, '\n');
    if (nl) {
        *nl = 0;
        *text = nl + 1;
    } else {
        *text = line + strlen(line);
    }
    return line;
}

// The next item of a reply (lines at "\n"); false at the end. One-off
// replies (strict false): the name ends at the first tab and the value starts
// after the last one, and a line without a tab has an empty value. Tend
// replies (strict true): only lines of exactly two tab-separated pieces count.
static bool next_item(char **text, bool strict, char **name, char **value)
{
    for (char *line; (line = next_line(text));) {
        char *first = strchr(line, '\t');
        char *last = first ? strrchr(line, '\t') : nullptr;
        if (strict && (!first || first != last)) {
            continue;
        }
        *name = line;
        *value = first ? last + 1 : line + strlen(line);
        if (first) {
            *first = 0;
        }
        return true;
    }
    return false;
}

// --- Info requests to one address ---

// Asks one item; on 0 *values holds the reply (may be NULL for an empty reply).
static int request_item(struct sockaddr_in *sa_in, const char *item, char **values, int timeout_ms,
                        uint64_t max_len)
{
    char names[64];
    ka_strncpy(names, item, (int)sizeof(names));
    return tamberlin_info_host_limit(sa_in, names, values, timeout_ms, false, max_len);
}

int ka_request_node_name(struct sockaddr_in *sa_in, char *node_name, int timeout_ms)
{
    char *values = nullptr;
    node_name[0] = 0;
    if (request_item(sa_in, "node", &values, timeout_ms, INFO_SHORT_REPLY_MAX) != 0) {
        return -1;
    }
    char *text = values;
    bool valid = false;
    for (char *name, *value; next_item(&text, false, &name, &value);) {
        if (strcmp(name, "node") != 0) {
            KA_LOG_WARN("Invalid node name %s", name);
            continue;
        }
        valid = node_name_valid(value);
        if (valid) {
            memcpy(node_name, value, strlen(value) + 1);
        } else {
            KA_LOG_WARN("refused node name of %zu characters", strlen(value));
        }
    }
    free(values);
    return valid ? 0 : -1;
}

int ka_request_n_partitions(struct sockaddr_in *sa_in, int *n_partitions, int timeout_ms)
{
    char *values = nullptr;
    *n_partitions = 0;
    if (request_item(sa_in, "partitions", &values, timeout_ms, INFO_SHORT_REPLY_MAX) != 0) {
        return -1;
    }
    int rv = 0;
    char *text = values;
    for (char *name, *value; next_item(&text, false, &name, &value);) {
        if (strcmp(name, "partitions") != 0) {
            KA_LOG_WARN("Invalid partitions %s", name);
            continue;
        }
        uint64_t n;
        if (parse_decimal(value, KA_PARTITIONS_MAX, &n)) {
            *n_partitions = (int)n;
        } else {
            KA_LOG_WARN("invalid partition count %s", value);
            rv = -1;
        }
    }
    free(values);
    return rv;
}

int ka_request_node_info(struct sockaddr_in *sa_in, ka_node_info *node_info, int timeout_ms)
{
    memset(node_info, 0, sizeof(*node_info));
    char names[sizeof(INFO_STR_CHECK)];
    memcpy(names, INFO_STR_CHECK, sizeof(names));
    if (tamberlin_info_host_limit(sa_in, names, &node_info->values, timeout_ms, false, INFO_SHORT_REPLY_MAX) !=
        0) {
        return -1;
    }
    char *text = node_info->values;
    int rv = 0;
    for (char *name, *value; next_item(&text, false, &name, &value);) {
        uint64_t gen;
        if (strcmp(name, "node") == 0) {
            if (!node_name_valid(value)) {
                rv = -1;
            } else {
                memcpy(node_info->node_name, value, strlen(value) + 1);
            }
        } else if (strcmp(name, "partition-generation") == 0) {
            if (parse_decimal(value, UINT32_MAX, &gen)) {
                node_info->partition_generation = (uint32_t)gen;
            } else {
                rv = -1;
            }
        } else if (strcmp(name, "services") == 0) {
            node_info->services = value;
        } else {
            KA_LOG_WARN("Invalid info name %s", name);
        }
    }
    if (rv != 0) {
        ka_node_info_free(node_info);
    }
    return rv;
}

int ka_request_replicas(struct sockaddr_in *sa_in, ka_replicas *replicas, int timeout_ms)
{
    replicas->values = nullptr;
    char names[sizeof(INFO_STR_GET_REPLICAS)];
    memcpy(names, INFO_STR_GET_REPLICAS, sizeof(names));
    return tamberlin_info_host_limit(sa_in, names, &replicas->values, timeout_ms, false, INFO_REPLICAS_REPLY_MAX);
}

// While the shared cluster map is on, what it knows is not asked of the node.
int ka_get_node_name(struct sockaddr_in *sa_in, char *node_name, int timeout_ms)
{
    if (ka_shm_on() && ka_shm_get_node_name(sa_in, node_name) == 0) {
        return 0;
    }
    return ka_request_node_name(sa_in, node_name, timeout_ms);
}

int ka_get_n_partitions(struct sockaddr_in *sa_in, int *n_partitions, int timeout_ms)
{
    if (ka_shm_hold()) {
        int n = ka_shm_get_partition_count();
        ka_shm_release();
        if (n > 0) {
            *n_partitions = n;
            return 0;
        }
    }
    return ka_request_n_partitions(sa_in, n_partitions, timeout_ms);
}

void ka_node_info_free(ka_node_info *node_info)
{
    free(node_info->values);
    node_info->values = nullptr;
    node_info->services = nullptr;
}

void ka_replicas_free(ka_replicas *replicas)
{
    free(replicas->values);
    replicas->values = nullptr;
}

// --- The node's persistent info socket ---

// Sends names on the node's info socket and reads the reply: NULL, the
// caller's stack_buf (INFO_STACK_BUF_SZ bytes) or a heap buffer the caller
// frees. Any failure closes the socket so that the next exchange reconnects.
static char *ka_cluster_node_get_info(ka_cluster_node *cn, const char *names, size_t names_len, int timeout_ms,
                                      char *stack_buf)
{
    if (!ka_cluster_node_prep_info_fd(cn)) {
        KA_LOG_INFO("node %s failed info socket connection", cn->name);
        return nullptr;
    }
    uint8_t *req = (uint8_t *)stack_buf;
    req[0] = KA_PROTO_VERSION;
    req[1] = KA_PROTO_TYPE_INFO;
    for (int i = 0; i < 6; i++) {
        req[2 + i] = (uint8_t)((uint64_t)names_len >> (8 * (5 - i)));
    }
    memcpy(req + 8, names, names_len);
    if (ka::ox_socket_write_timeout(cn->info_fd, req, 8 + names_len, 0, timeout_ms) != 0) {
        KA_LOG_DEBUG("node %s failed info socket write", cn->name);
        ka_cluster_node_close_info_fd(cn);
        return nullptr;
    }
    uint8_t head[8];
    if (ka::ox_socket_read_timeout(cn->info_fd, head, sizeof(head), 0, timeout_ms) != 0) {
        KA_LOG_DEBUG("node %s failed info socket read header", cn->name);
        ka_cluster_node_close_info_fd(cn);
        return nullptr;
    }
    uint64_t size = 0;
    for (int i = 2; i < 8; i++) {
        size = (size << 8) | head[i];
    }
    if (size < 1 || size > INFO_RESPONSE_MAX) {
        KA_LOG_INFO("node %s bad info response size %lu", cn->name, (unsigned long)size);
        ka_cluster_node_close_info_fd(cn);
        return nullptr;
    }
    char *buf = stack_buf;
    if (size + 1 > INFO_STACK_BUF_SZ) {
        buf = (char *)malloc(size + 1);
        if (!buf) {
            KA_LOG_ERROR("node %s failed allocation for info response", cn->name);
            ka_cluster_node_close_info_fd(cn);
            return nullptr;
        }
    }
    if (ka::ox_socket_read_timeout(cn->info_fd, (uint8_t *)buf, size, 0, timeout_ms) != 0) {
        KA_LOG_DEBUG("node %s failed info socket read body", cn->name);
        if (buf != stack_buf) {
            free(buf);
        }
        ka_cluster_node_close_info_fd(cn);
        return nullptr;
    }
    buf[size] = 0;
    return buf;
}

// --- Reading the tend's replies ---

void cluster_services_parse(ka_cluster *asc, char *services, ox_vector *sockaddr_in_v)
{
    char *entry = services;
    while (entry && *entry) {
        char *next = strchr(entry, ';');
        if (next) {
            *next++ = 0;
        }
        char *colon = strchr(entry, ':');
        if (colon && !strchr(colon + 1, ':')) {
            *colon = 0;
            int port = ka_parse_port(colon + 1);
            if (port < 0) {
                KA_LOG_WARN("services entry %s has a bad port %s", entry, colon + 1);
            } else {
                ka_lookup(asc, entry, (short)port, sockaddr_in_v);
            }
        }
        entry = next;
    }
}

int ka_cluster_node_parse_check(ka_cluster *asc, ka_cluster_node *cn, char *rbuf, ox_vector *services_v)
{
    int changed = 0;
    char *text = rbuf;
    for (char *name, *value; next_item(&text, true, &name, &value);) {
        if (strcmp(name, "node") == 0) {
            if (!node_name_valid(value)) {
                KA_LOG_WARN("node %s reported a name of %zu characters", cn->name, strlen(value));
                return -1;
            }
            if (strcmp(value, cn->name) != 0) {
                KA_LOG_WARN("node name changed from %s to %s", cn->name, value);
                return 0;
            }
        } else if (strcmp(name, "partition-generation") == 0) {
            uint64_t gen;
            if (!parse_decimal(value, UINT32_MAX, &gen)) {
                KA_LOG_WARN("node %s reported partition generation %s", cn->name, value);
                return -1;
            }
            // An unknown stored generation always asks for the maps, even
            // when the node reports the number that stands for it.
            if (cn->partition_generation == KA_PARTITION_GENERATION_UNKNOWN || gen != cn->partition_generation) {
                changed = 1;
            }
        } else if (strcmp(name, "services") == 0) {
            cluster_services_parse(asc, value, services_v);
        } else {
            KA_LOG_WARN("node %s info check did not request %s", cn->name, name);
        }
    }
    // A node whose maps were never applied has them fetched even when its
    // reply carries no generation to compare.
    if (cn->partition_generation == KA_PARTITION_GENERATION_UNKNOWN) {
        changed = 1;
    }
    return changed;
}

void ka_cluster_node_parse_replicas(ka_cluster *asc, ka_cluster_node *cn, char *rbuf)
{
    int n_partitions = (int)asc->n_partitions.load();
    ox_vector_define(masters_v, sizeof(void *), 0);
    ox_vector_define(proles_v, sizeof(void *), 0);
    bool gen_valid = false;
    bool masters_read = false;
    uint64_t gen = 0;
    char *text = rbuf;
    for (char *name, *value; next_item(&text, true, &name, &value);) {
        if (strcmp(name, "partition-generation") == 0) {
            gen_valid = parse_decimal(value, UINT32_MAX, &gen);
            if (!gen_valid) {
                KA_LOG_WARN("node %s reported partition generation %s", cn->name, value);
            }
        } else if (strcmp(name, "replicas-master") == 0) {
            parse_replicas_map(value, n_partitions, &masters_v);
            masters_read = true;
        } else if (strcmp(name, "replicas-prole") == 0) {
            parse_replicas_map(value, n_partitions, &proles_v);
        } else {
            KA_LOG_WARN("node %s info replicas did not request %s", cn->name, name);
        }
    }
    for (uint32_t i = 0; i < ox_vector_size(&masters_v); i++) {
        ns_partition_map *m = (ns_partition_map *)ox_vector_pointer_get(&masters_v, i);
        const bool *proles = nullptr;
        for (uint32_t j = 0; j < ox_vector_size(&proles_v); j++) {
            ns_partition_map *p = (ns_partition_map *)ox_vector_pointer_get(&proles_v, j);
            if (strcmp(p->ns, m->ns) == 0) {
                proles = p->owns;
                break;
            }
        }
        ka_partition_table_update(asc, cn, m->ns, m->owns, proles);
    }
    ns_partition_map_destroy(&masters_v);
    ns_partition_map_destroy(&proles_v);
    ox_vector_destroy(&masters_v);
    ox_vector_destroy(&proles_v);
    // Seen only once the maps could be applied: before the partition count
    // is known the same generation must be fetched again.
    if (gen_valid && masters_read && ka_partition_count_valid((uint64_t)n_partitions)) {
        cn->partition_generation = (uint32_t)gen;
        KA_LOG_DEBUG("node %s got partition generation %d", cn->name, (int)gen);
    }
}

// --- Steps of a tend ---

static void cluster_ping_address(ka_cluster *asc, struct sockaddr_in *sa_in)
{
    char name[KA_NODE_NAME_SIZE];
    if (ka_get_node_name(sa_in, name, asc->info_timeout.load()) != 0) {
        return;
    }
    ka_cluster_node *cn = ka_cluster_node_get_byname(asc, name);
    if (cn) {
        // Only this tend removes nodes, so cn stays in node_v meanwhile.
        pthread_mutex_lock(&cn->addr_lock);
        ox_vector_append_unique(&cn->sockaddr_in_v, sa_in);
        pthread_mutex_unlock(&cn->addr_lock);
        return;
    }
    cn = ka_cluster_node_create(name, sa_in);
    if (!cn) {
        return;
    }
    pthread_mutex_lock(&asc->LOCK);
    int rv = ox_vector_pointer_append(&asc->node_v, cn);
    pthread_mutex_unlock(&asc->LOCK);
    if (rv != 0) {
        ka_cluster_node_release(cn);
    }
}

static void cluster_get_n_partitions(ka_cluster *asc, ox_vector *sockaddr_in_v)
{
    for (uint32_t i = 0; i < ox_vector_size(sockaddr_in_v); i++) {
        int n = 0;
        struct sockaddr_in *sa = (struct sockaddr_in *)ox_vector_getp(sockaddr_in_v, i);
        if (ka_get_n_partitions(sa, &n, asc->info_timeout.load()) != 0) {
            continue;
        }
        if (!ka_partition_count_valid((uint64_t)n)) {
            KA_LOG_WARN("refused partition count %d", n);
            continue;
        }
        asc->n_partitions.store((uint32_t)n, std::memory_order_release);
        return;
    }
}

static void cluster_ping_node(ka_cluster *asc, ka_cluster_node *cn, ox_vector *services_v)
{
    // The map's answer neither raises nor clears the node's unreachable count.
    if (ka_shm_on() && ka_shm_ping_node(asc, cn, services_v) == 0) {
        return;
    }
    char stack_buf[INFO_STACK_BUF_SZ];
    int timeout = asc->info_timeout.load();
    char *rbuf = ka_cluster_node_get_info(cn, INFO_STR_CHECK, sizeof(INFO_STR_CHECK) - 1, timeout, stack_buf);
    if (!rbuf) {
        KA_LOG_DEBUG("node %s failed info check", cn->name);
        cn->intervals_unreachable++;
        return;
    }
    int changed = ka_cluster_node_parse_check(asc, cn, rbuf, services_v);
    if (rbuf != stack_buf) {
        free(rbuf);
    }
    if (changed < 0) {
        cn->intervals_unreachable++;
        return;
    }
    cn->intervals_unreachable = 0;
    // Write failures before a good check do not count against the node's
    // next writes: those must show their own trouble.
    cn->async_failures = 0;
    if (changed == 0) {
        return;
    }
    rbuf = ka_cluster_node_get_info(cn, INFO_STR_GET_REPLICAS, sizeof(INFO_STR_GET_REPLICAS) - 1, timeout,
                                    stack_buf);
    if (!rbuf) {
        KA_LOG_DEBUG("node %s failed info get replicas", cn->name);
        return;
    }
    ka_cluster_node_parse_replicas(asc, cn, rbuf);
    if (rbuf != stack_buf) {
        free(rbuf);
    }
}

// Sets the tending bit; false (and nothing set) when a tend runs already or
// the cluster is being destroyed.
static bool cluster_tend_claim(ka_cluster *asc)
{
    pthread_mutex_lock(&asc->LOCK);
    uint32_t state = asc->state;
    bool claimed = (state & (KA_CLUSTER_STATE_TENDING | KA_CLUSTER_STATE_DESTROYING)) == 0;
    if (claimed) {
        asc->state |= KA_CLUSTER_STATE_TENDING;
    }
    pthread_mutex_unlock(&asc->LOCK);
    if (!claimed) {
        KA_LOG_DEBUG("Not running cluster tend as the state of the cluster is 0x%x", state);
    }
    return claimed;
}

static void cluster_tend_unclaim(ka_cluster *asc)
{
    pthread_mutex_lock(&asc->LOCK);
    asc->state &= ~KA_CLUSTER_STATE_TENDING;
    pthread_mutex_unlock(&asc->LOCK);
}

static bool addr_owned(ka_cluster *asc, struct sockaddr_in *sa)
{
    return ka_cluster_node_get_byaddr(asc, sa) != nullptr;
}

// The body of one tend; the caller holds the tending bit.
static void cluster_tend_claimed(ka_cluster *asc)
{
    ox_vector_define(addr_v, sizeof(struct sockaddr_in), 0);

    // Seeds are only ever appended and their texts live as long as the
    // cluster, so a copy of the pointers taken under LOCK stays good.
    ox_vector_define(seed_hosts, sizeof(void *), 0);
    ox_vector_define(seed_ports, sizeof(int), 0);
    pthread_mutex_lock(&asc->LOCK);
    for (uint32_t i = 0; i < ox_vector_size(&asc->host_str_v); i++) {
        ox_vector_pointer_append(&seed_hosts, ox_vector_pointer_get(&asc->host_str_v, i));
        ox_vector_append(&seed_ports, ox_vector_getp(&asc->host_port_v, i));
    }
    pthread_mutex_unlock(&asc->LOCK);
    for (uint32_t i = 0; i < ox_vector_size(&seed_hosts); i++) {
        int port = *(int *)ox_vector_getp(&seed_ports, i);
        ka_lookup(asc, (char *)ox_vector_pointer_get(&seed_hosts, i), (short)port, &addr_v);
    }
    ox_vector_destroy(&seed_hosts);
    ox_vector_destroy(&seed_ports);

    for (uint32_t i = 0; i < ox_vector_size(&addr_v); i++) {
        struct sockaddr_in *sa = (struct sockaddr_in *)ox_vector_getp(&addr_v, i);
        if (!addr_owned(asc, sa)) {
            cluster_ping_address(asc, sa);
        }
    }
    if (asc->n_partitions.load() == 0) {
        cluster_get_n_partitions(asc, &addr_v);
    }
    ox_vector_reset(&addr_v);

    for (uint32_t i = 0;;) {
        pthread_mutex_lock(&asc->LOCK);
        ka_cluster_node *cn =
            i < ox_vector_size(&asc->node_v) ? (ka_cluster_node *)ox_vector_pointer_get(&asc->node_v, i) : nullptr;
        pthread_mutex_unlock(&asc->LOCK);
        if (!cn) {
            break;
        }
        if (cn->intervals_absent == 0 || ka_partition_table_is_node_present(asc, cn)) {
            cn->intervals_absent = 1;
        } else if (cn->intervals_absent++ >= 2) {
            KA_LOG_DEBUG("DELETE SUPERSEDED NODE %s %p i %d", cn->name, (void *)cn, (int)i);
            pthread_mutex_lock(&asc->LOCK);
            ox_vector_delete(&asc->node_v, i);
            pthread_mutex_unlock(&asc->LOCK);
            // The info socket is the tend's alone; requests still holding the
            // node keep its pools until they release it.
            ka_cluster_node_close_info_fd(cn);
            ka_cluster_node_release(cn);
            continue;
        }
        cluster_ping_node(asc, cn, &addr_v);
        pthread_mutex_lock(&cn->addr_lock);
        for (uint32_t k = 0; k < ox_vector_size(&cn->sockaddr_in_v); k++) {
            ox_vector_append_unique(&addr_v, ox_vector_getp(&cn->sockaddr_in_v, k));
        }
        pthread_mutex_unlock(&cn->addr_lock);
        i++;
    }

    if (asc->follow) {
        if (ox_vector_size(&addr_v) == 0) {
            asc->found_all = true;
        } else {
            int pinged = 0;
            for (uint32_t i = 0; i < ox_vector_size(&addr_v); i++) {
                struct sockaddr_in *sa = (struct sockaddr_in *)ox_vector_getp(&addr_v, i);
                if (addr_owned(asc, sa)) {
                    continue;
                }
                if (ka::g_log_level >= ka::OX_DEBUG) {
                    ka::ox_print_sockaddr_in("pinging", sa);
                }
                cluster_ping_address(asc, sa);
                pinged++;
            }
            if (pinged == 0) {
                asc->found_all = true;
            }
        }
    }
    ox_vector_destroy(&addr_v);
}

void cluster_tend(ka_cluster *asc)
{
    if (cluster_tend_claim(asc)) {
        cluster_tend_claimed(asc);
        cluster_tend_unclaim(asc);
    }
}

void *cluster_tender_fn(void *)
{
    uint64_t tick = 1;
    while (ka_cluster_tend_sleep(1)) {
        // The clusters due at this tick are claimed under the list lock, so a
        // cluster that destroy has unlinked is never picked, and one picked
        // before is waited for by destroy.
        ox_vector_define(due, sizeof(void *), 0);
        pthread_mutex_lock(&cluster_ll_LOCK);
        for (ox_ll_element *e = ox_ll_get_head(&cluster_ll); e; e = ox_ll_get_next(e)) {
            ka_cluster *asc = (ka_cluster *)e;
            if (tick % ka_cluster_period(asc) == 0 && cluster_tend_claim(asc)) {
                ox_vector_pointer_append(&due, asc);
            }
        }
        pthread_mutex_unlock(&cluster_ll_LOCK);
        for (uint32_t i = 0; i < ox_vector_size(&due); i++) {
            ka_cluster *asc = (ka_cluster *)ox_vector_pointer_get(&due, i);
            cluster_tend_claimed(asc);
            cluster_tend_unclaim(asc);
        }
        ox_vector_destroy(&due);
        tick++;
    }
    return nullptr;
}

// --- Seeds and health ---

static bool any_addr_owned(ka_cluster *asc, ox_vector *v)
{
    for (uint32_t i = 0; i < ox_vector_size(v); i++) {
        if (addr_owned(asc, (struct sockaddr_in *)ox_vector_getp(v, i))) {
            return true;
        }
    }
    return false;
}

int tamberlin_cluster_add_host(ka_cluster *asc, const char *host_in, short port, int timeout_ms)
{
    if (!asc || !host_in) {
        return -1;
    }
    pthread_mutex_lock(&asc->LOCK);
    for (uint32_t i = 0; i < ox_vector_size(&asc->host_str_v); i++) {
        if (strcmp((char *)ox_vector_pointer_get(&asc->host_str_v, i), host_in) == 0 &&
            *(int *)ox_vector_getp(&asc->host_port_v, i) == (int)(uint16_t)port) {
            pthread_mutex_unlock(&asc->LOCK);
            return 0;
        }
    }
    pthread_mutex_unlock(&asc->LOCK);
    char *host = strdup(host_in);
    if (!host) {
        return -1;
    }
    ox_vector_define(seed_v, sizeof(struct sockaddr_in), 0);
    if (ka_lookup(asc, host, port, &seed_v) != 0) {
        free(host);
        ox_vector_destroy(&seed_v);
        return -1;
    }
    int iport = (uint16_t)port; // seeds keep the port as 1 to 65535
    pthread_mutex_lock(&asc->LOCK);
    bool added = ox_vector_pointer_append(&asc->host_str_v, host) == 0;
    if (added && ox_vector_append(&asc->host_port_v, &iport) != 0) {
        ox_vector_delete(&asc->host_str_v, ox_vector_size(&asc->host_str_v) - 1);
        added = false;
    }
    asc->found_all = false;
    pthread_mutex_unlock(&asc->LOCK);
    if (!added) {
        free(host);
        ox_vector_destroy(&seed_v);
        return -1;
    }
    cluster_tend(asc);
    if (timeout_ms == 0) {
        timeout_ms = 100;
    }
    if (timeout_ms > 0) {
        uint64_t start = ka::ox_getms();
        while (!asc->found_all.load() && ka::ox_getms() - start < (uint64_t)timeout_ms) {
            cluster_tend(asc);
            if (!asc->found_all.load()) {
                usleep(1000);
            }
        }
    }
    int rv = any_addr_owned(asc, &seed_v) ? 0 : -2;
    ox_vector_destroy(&seed_v);
    return rv;
}

ka_rvclient tamberlin_check_cluster_health(ka_cluster *asc)
{
    unsigned alive = 0;
    unsigned dead = 0;
    pthread_mutex_lock(&asc->LOCK);
    for (uint32_t i = 0; i < ox_vector_size(&asc->node_v); i++) {
        ka_cluster_node *cn = (ka_cluster_node *)ox_vector_pointer_get(&asc->node_v, i);
        if (ka_cluster_node_unreachable(cn)) {
            dead++;
        } else {
            alive++;
        }
    }
    pthread_mutex_unlock(&asc->LOCK);
    KA_LOG_DEBUG("cluster %p - %u nodes 'alive', %u nodes 'dead'", (void *)asc, alive, dead);
    return alive > 0 ? TAMBERLIN_FAIL_DC_UP : TAMBERLIN_FAIL_DC_DOWN;
}
