// Partition tables and replica lists.
//
// The tend is the only writer: it builds a namespace's table whole and
// publishes it with a release store at the head of the cluster's list; request
// threads find tables with acquire loads and take a slot's lock only to pick a
// node and take its reference. Node references dropped by an update are
// released after the slot's lock is let go, since the last release of a node
// closes its connections.
#include "tamberlin/ka_partition.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "tamberlin/ka_cluster.h"
#include "tamberlin/ox_log.h"

using ka::ox_digest;

// Counter that alternates reads between master and prole; shared by all clusters.
static std::atomic<uint32_t> g_randomizer{0};

// Value of each byte in the standard base64 alphabet; every other byte is 0.
static constexpr auto make_decode_array()
{
    struct {
        uint8_t v[256];
    } a{};
    const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; i++) {
        a.v[(uint8_t)alphabet[i]] = (uint8_t)i;
    }
    return a;
}
static constexpr auto OX_BASE64_DECODE_ARRAY = make_decode_array();

static bool b64_in_alphabet(uint8_t c)
{
    return c == 'A' || OX_BASE64_DECODE_ARRAY.v[c] != 0;
}

int b64_decode(const uint8_t *in, int len, uint8_t *out)
{
    if (len <= 0) {
        return 0;
    }
    int n_out = 0;
    bool padding = false;
    for (int i = 0; i < len; i += 4) {
        uint32_t v[4] = {0, 0, 0, 0};
        for (int k = 0; k < 4 && i + k < len; k++) {
            uint8_t c = in[i + k];
            if (c == '=' && i + k >= len - 2) {
                padding = true;
                continue;
            }
            if (padding || !b64_in_alphabet(c)) {
                return -1;
            }
            v[k] = OX_BASE64_DECODE_ARRAY.v[c];
        }
        out[n_out++] = (uint8_t)((v[0] << 2) | (v[1] >> 4));
        out[n_out++] = (uint8_t)((v[1] << 4) | (v[2] >> 2));
        out[n_out++] = (uint8_t)((v[2] << 6) | v[3]);
    }
    return n_out;
}

// The largest decoded bitmap: KA_PARTITIONS_MAX bits and one group's slack.
static constexpr int BITMAP_BYTES_MAX = (int)(KA_PARTITIONS_MAX / 8) + 3;

// Decodes one entry's bitmap into bytes; false for a wrong length or a bad
// character.
static bool bitmap_decode(const char *bitmap, int len, int n_partitions, uint8_t *bytes)
{
    if (len != ka_partition_bitmap_len((uint32_t)n_partitions)) {
        return false;
    }
    return b64_decode((const uint8_t *)bitmap, len, bytes) >= 0;
}

static void bitmap_apply(ns_partition_map *p_map, const uint8_t *bytes, int n_partitions)
{
    for (int i = 0; i < n_partitions; i++) {
        if (bytes[i / 8] & (0x80 >> (i % 8))) {
            p_map->owns[i] = true;
        }
    }
}

int ns_partition_map_set(ns_partition_map *p_map, const char *p_encoded_bitmap, int encoded_bitmap_len,
                         int n_partitions)
{
    uint8_t bytes[BITMAP_BYTES_MAX];
    if (!ka_partition_count_valid((uint64_t)n_partitions) ||
        !bitmap_decode(p_encoded_bitmap, encoded_bitmap_len, n_partitions, bytes)) {
        return -1;
    }
    bitmap_apply(p_map, bytes, n_partitions);
    return 0;
}

ns_partition_map *ns_partition_map_get(ox_vector *p_maps_v, const char *ns, int n_partitions)
{
    for (uint32_t i = 0; i < ox_vector_size(p_maps_v); i++) {
        ns_partition_map *m = (ns_partition_map *)ox_vector_pointer_get(p_maps_v, i);
        if (strcmp(m->ns, ns) == 0) {
            return m;
        }
    }
    ns_partition_map *m = (ns_partition_map *)calloc(1, sizeof(ns_partition_map) + (size_t)n_partitions);
    if (!m) {
        return nullptr;
    }
    ka_strncpy(m->ns, ns, (int)sizeof(m->ns));
    if (ox_vector_pointer_append(p_maps_v, m) != 0) {
        free(m);
        return nullptr;
    }
    return m;
}

void ns_partition_map_destroy(ox_vector *p_maps_v)
{
    for (uint32_t i = 0; i < ox_vector_size(p_maps_v); i++) {
        free(ox_vector_pointer_get(p_maps_v, i));
    }
}

static char *trim(char *s)
{
    while (*s && isspace((unsigned char)*s)) {
        s++;
    }
    char *end = s + strlen(s);
    while (end > s && isspace((unsigned char)end[-1])) {
        *--end = 0;
    }
    return s;
}

void parse_replicas_map(char *list, int n_partitions, ox_vector *p_maps_v)
{
    if (!list || !ka_partition_count_valid((uint64_t)n_partitions)) {
        return;
    }
    uint8_t bytes[BITMAP_BYTES_MAX];
    char *entry = list;
    while (entry && *entry) {
        char *next = strchr(entry, ';');
        if (next) {
            *next++ = 0;
        }
        char *colon = strchr(entry, ':');
        if (!colon) {
            KA_LOG_WARN("ns %s has no encoded bitmap", entry);
            return;
        }
        *colon = 0;
        char *bitmap = colon + 1;
        char *ns = trim(entry);
        entry = next;
        size_t ns_len = strlen(ns);
        if (ns_len == 0 || ns_len > KA_NS_NAME_MAX) {
            KA_LOG_WARN("invalid partition namespace %s", ns);
            continue;
        }
        // Decode before the map exists, so that a bad bitmap leaves the
        // namespace's slots of this node as they were.
        if (!bitmap_decode(bitmap, (int)strlen(bitmap), n_partitions, bytes)) {
            KA_LOG_WARN("invalid partition bitmap %s", bitmap);
            continue;
        }
        ns_partition_map *m = ns_partition_map_get(p_maps_v, ns, n_partitions);
        if (!m) {
            KA_LOG_ERROR("%s partition map allocation failed", ns);
            continue;
        }
        bitmap_apply(m, bytes, n_partitions);
    }
}

ka_partition_table *ka_partition_table_get_by_ns(ka_cluster *asc, const char *ns)
{
    for (ka_partition_table *t = asc->partition_table_head.load(std::memory_order_acquire); t; t = t->next) {
        if (strcmp(t->ns, ns) == 0) {
            return t;
        }
    }
    return nullptr;
}

ka_partition_table *ka_partition_table_create(ka_cluster *asc, const char *ns)
{
    uint32_t n = asc->n_partitions.load(std::memory_order_acquire);
    if (!ka_partition_count_valid(n)) {
        return nullptr;
    }
    ka_partition_table *t = (ka_partition_table *)calloc(1, sizeof(ka_partition_table) + n * sizeof(ka_partition));
    if (!t) {
        return nullptr;
    }
    ka_strncpy(t->ns, ns, (int)sizeof(t->ns));
    for (uint32_t i = 0; i < n; i++) {
        pthread_mutex_init(&t->partitions[i].lock, nullptr);
    }
    // Only the tend prepends, so the head read here is current.
    t->next = asc->partition_table_head.load(std::memory_order_relaxed);
    asc->partition_table_head.store(t, std::memory_order_release);
    return t;
}

ka_cluster_node *ka_partition_table_get(ka_cluster *asc, const char *ns, ka_partition_id pid, bool write)
{
    ka_partition_table *t = ka_partition_table_get_by_ns(asc, ns);
    if (!t || pid >= asc->n_partitions.load(std::memory_order_acquire)) {
        return nullptr;
    }
    ka_partition *p = &t->partitions[pid];
    pthread_mutex_lock(&p->lock);
    ka_cluster_node *cn = p->master;
    if (!write) {
        if (!p->prole) {
            cn = p->master;
        } else if (!p->master) {
            cn = p->prole;
        } else {
            cn = (g_randomizer.fetch_add(1) & 1) == 0 ? p->master : p->prole;
        }
    }
    if (cn) {
        ka_cluster_node_reserve(cn);
    }
    pthread_mutex_unlock(&p->lock);
    return cn;
}

ka_cluster_node *ka_cluster_node_get(ka_cluster *asc, const char *ns, const ox_digest *d, bool write)
{
    uint32_t n = asc->n_partitions.load(std::memory_order_acquire);
    if (n != 0) {
        ka_cluster_node *cn = ka_partition_table_get(asc, ns, ka_partition_getid(d->digest, n), write);
        if (cn) {
            return cn;
        }
    }
    return ka_cluster_node_get_random(asc);
}

// Puts node into *slot (or clears it with NULL); the reference it replaced is
// returned for release outside the slot's lock.
static ka_cluster_node *slot_take(ka_cluster_node **slot, ka_cluster_node *node)
{
    ka_cluster_node *old = *slot;
    if (node) {
        ka_cluster_node_reserve(node);
    }
    *slot = node;
    return old;
}

void ka_partition_table_update(ka_cluster *asc, ka_cluster_node *node, const char *ns, const bool *masters,
                               const bool *proles)
{
    ka_partition_table *t = ka_partition_table_get_by_ns(asc, ns);
    if (!t) {
        t = ka_partition_table_create(asc, ns);
        if (!t) {
            return;
        }
    }
    uint32_t n = asc->n_partitions.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < n; i++) {
        ka_partition *p = &t->partitions[i];
        ka_cluster_node *drop[3] = {nullptr, nullptr, nullptr};
        pthread_mutex_lock(&p->lock);
        if (p->master == node) {
            drop[0] = slot_take(&p->master, nullptr);
        }
        if (p->prole == node) {
            drop[1] = slot_take(&p->prole, nullptr);
        }
        if (masters[i]) {
            if (p->master) {
                // The other node no longer masters this partition: make it
                // read its maps again at its next check.
                p->master->partition_generation = KA_PARTITION_GENERATION_UNKNOWN;
            }
            drop[2] = slot_take(&p->master, node);
        } else if (proles && proles[i]) {
            if (p->prole) {
                p->prole->partition_generation = KA_PARTITION_GENERATION_UNKNOWN;
            }
            drop[2] = slot_take(&p->prole, node);
        }
        pthread_mutex_unlock(&p->lock);
        for (ka_cluster_node *d : drop) {
            if (d) {
                ka_cluster_node_release(d);
            }
        }
    }
}

bool ka_partition_table_is_node_present(ka_cluster *asc, ka_cluster_node *node)
{
    uint32_t n = asc->n_partitions.load(std::memory_order_acquire);
    ka_partition_table *head = asc->partition_table_head.load(std::memory_order_acquire);
    for (ka_partition_table *t = head; t; t = t->next) {
        for (uint32_t i = 0; i < n; i++) {
            pthread_mutex_lock(&t->partitions[i].lock);
            bool master = t->partitions[i].master == node;
            pthread_mutex_unlock(&t->partitions[i].lock);
            if (master) {
                return true;
            }
        }
    }
    for (ka_partition_table *t = head; t; t = t->next) {
        for (uint32_t i = 0; i < n; i++) {
            ka_partition *p = &t->partitions[i];
            ka_cluster_node *drop = nullptr;
            pthread_mutex_lock(&p->lock);
            if (p->prole == node) {
                drop = slot_take(&p->prole, nullptr);
            }
            pthread_mutex_unlock(&p->lock);
            if (drop) {
                ka_cluster_node_release(drop);
            }
        }
    }
    return false;
}

void ka_partition_table_destroy_all(ka_cluster *asc)
{
    uint32_t n = asc->n_partitions.load(std::memory_order_acquire);
    ka_partition_table *t = asc->partition_table_head.exchange(nullptr, std::memory_order_acq_rel);
    while (t) {
        ka_partition_table *next = t->next;
        for (uint32_t i = 0; i < n; i++) {
            ka_partition *p = &t->partitions[i];
            if (p->master) {
                ka_cluster_node_release(p->master);
            }
            if (p->prole) {
                ka_cluster_node_release(p->prole);
            }
            pthread_mutex_destroy(&p->lock);
        }
        free(t);
        t = next;
    }
}
