// Cluster and node objects, the global cluster list, connection pools.
//
// A cluster is unlinked from cluster_ll under cluster_ll_LOCK before anything
// of it is freed: the tend thread picks its clusters under that lock, and the
// searches by seed run under it, so an unlinked cluster is never reached
// again; destroy then waits for a tend that is still running on it. A cluster
// whose count drops to 0 is unlinked in the same locked section, so a search
// can never find it at count 0.
//
// Nodes are the client's reference-counted blocks. Their address list grows
// during a tend while request threads open connections from it, so it has a
// small lock of its own and connections are opened from a copy.
#include "tamberlin/ka_cluster.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

#include "ka_cluster_internal.h"
#include "tamberlin/ka_async.h"
#include "tamberlin/ox_alloc.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_socket.h"

ox_ll cluster_ll;
pthread_mutex_t cluster_ll_LOCK = PTHREAD_MUTEX_INITIALIZER;
std::atomic<uint32_t> g_clust_tend_speed{1};
std::atomic<ka_cluster_node_end_fn> g_ka_node_end_hook{nullptr};

static std::atomic<bool> g_clust_initialized{false};
static pthread_mutex_t g_clust_init_LOCK = PTHREAD_MUTEX_INITIALIZER;
static pthread_t tender_thr;
static pid_t g_tender_pid = 0; // the process that started tender_thr

// Stop flag of the tend thread and the condition its sleeps wait on.
static pthread_mutex_t g_tend_stop_LOCK = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_tend_stop_CV = PTHREAD_COND_INITIALIZER;
static bool g_tend_stop = false;
static std::atomic<uint32_t> g_tick_ms{1000};

void ka_cluster_test_set_tick_ms(uint32_t ms)
{
    g_tick_ms = ms == 0 ? 1 : ms;
    // A tick already under way is measured again with the new length.
    pthread_mutex_lock(&g_tend_stop_LOCK);
    pthread_cond_broadcast(&g_tend_stop_CV);
    pthread_mutex_unlock(&g_tend_stop_LOCK);
}

uint32_t ka_cluster_tick_ms()
{
    return g_tick_ms.load();
}

bool ka_cluster_tend_sleep(uint32_t n_ticks)
{
    uint64_t start = ka::ox_getms();
    pthread_mutex_lock(&g_tend_stop_LOCK);
    while (!g_tend_stop) {
        uint64_t end = start + (uint64_t)n_ticks * ka_cluster_tick_ms();
        uint64_t now = ka::ox_getms();
        if (now >= end) {
            break;
        }
        uint64_t ms = end - now;
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        ts.tv_sec += (time_t)(ms / 1000);
        ts.tv_nsec += (long)(ms % 1000) * 1000000L;
        if (ts.tv_nsec >= 1000000000L) {
            ts.tv_sec++;
            ts.tv_nsec -= 1000000000L;
        }
        pthread_cond_timedwait(&g_tend_stop_CV, &g_tend_stop_LOCK, &ts);
    }
    bool go_on = !g_tend_stop;
    pthread_mutex_unlock(&g_tend_stop_LOCK);
    return go_on;
}

uint32_t ka_cluster_period(ka_cluster *asc)
{
    uint32_t p = asc->tend_speed.load();
    if (p == 0) {
        p = g_clust_tend_speed.load();
    }
    return p == 0 ? 1 : p;
}

static void sleep_ms(uint64_t ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// --- Library and list ---

int tamberlin_cluster_init()
{
    pthread_mutex_lock(&g_clust_init_LOCK);
    if (!g_clust_initialized.load()) {
        ox_ll_init(&cluster_ll, nullptr, false);
        g_clust_tend_speed = 1;
        pthread_mutex_lock(&g_tend_stop_LOCK);
        g_tend_stop = false;
        pthread_mutex_unlock(&g_tend_stop_LOCK);
        if (pthread_create(&tender_thr, nullptr, cluster_tender_fn, nullptr) == 0) {
            g_tender_pid = getpid();
            g_clust_initialized = true;
        } else {
            KA_LOG_ERROR("could not start the cluster tend thread");
        }
    }
    pthread_mutex_unlock(&g_clust_init_LOCK);
    return 0;
}

bool ka_cluster_initialized()
{
    return g_clust_initialized.load();
}

void tamberlin_cluster_clear_init()
{
    g_clust_initialized = false;
}

ka_cluster *tamberlin_cluster_create()
{
    if (!g_clust_initialized.load()) {
        return nullptr;
    }
    void *mem = calloc(1, sizeof(ka_cluster));
    if (!mem) {
        return nullptr;
    }
    ka_cluster *asc = new (mem) ka_cluster;
    asc->state = 0;
    asc->follow = true;
    asc->nbconnect = false;
    asc->found_all = false;
    asc->last_node = 0;
    asc->n_partitions = 0;
    asc->partition_table_head = nullptr;
    asc->compression_stat = {0, 0, 0};
    asc->ref_count = 1;
    asc->tend_speed = 0;
    asc->info_timeout = 500;
    asc->async_share = ka_async_share_create();
    if (!asc->async_share || ox_vector_pointer_init(&asc->host_str_v, 10, 0) != 0 ||
        ox_vector_init(&asc->host_port_v, sizeof(int), 10, 0) != 0 ||
        ox_vector_pointer_init(&asc->host_addr_map_v, 10, 0) != 0 ||
        ox_vector_pointer_init(&asc->node_v, 10, 0) != 0) {
        // ox_vector_destroy copes with a vector whose storage never came.
        ox_vector_destroy(&asc->host_str_v);
        ox_vector_destroy(&asc->host_port_v);
        ox_vector_destroy(&asc->host_addr_map_v);
        ox_vector_destroy(&asc->node_v);
        ka_async_share_release(asc->async_share, true);
        free(mem);
        return nullptr;
    }
    pthread_mutex_init(&asc->LOCK, nullptr);
    pthread_mutex_lock(&cluster_ll_LOCK);
    ox_ll_append(&cluster_ll, &asc->ll_e);
    pthread_mutex_unlock(&cluster_ll_LOCK);
    return asc;
}

// Caller holds cluster_ll_LOCK. False when the cluster is not in the list.
static bool cluster_unlink_locked(ka_cluster *asc)
{
    for (ox_ll_element *e = ox_ll_get_head(&cluster_ll); e; e = ox_ll_get_next(e)) {
        if (e == &asc->ll_e) {
            ox_ll_delete(&cluster_ll, e);
            return true;
        }
    }
    return false;
}

// The cluster is unlinked already.
static void cluster_free(ka_cluster *asc)
{
    pthread_mutex_lock(&asc->LOCK);
    while (asc->state & KA_CLUSTER_STATE_TENDING) {
        pthread_mutex_unlock(&asc->LOCK);
        sleep_ms(ka_cluster_tick_ms());
        pthread_mutex_lock(&asc->LOCK);
    }
    asc->state |= KA_CLUSTER_STATE_DESTROYING;
    pthread_mutex_unlock(&asc->LOCK);

    for (uint32_t i = 0; i < ox_vector_size(&asc->host_str_v); i++) {
        free(ox_vector_pointer_get(&asc->host_str_v, i));
    }
    ox_vector_destroy(&asc->host_str_v);
    ox_vector_destroy(&asc->host_port_v);
    for (uint32_t i = 0; i < ox_vector_size(&asc->host_addr_map_v); i++) {
        ka_addrmap *m = (ka_addrmap *)ox_vector_pointer_get(&asc->host_addr_map_v, i);
        free(m->orig);
        free(m->alt);
        free(m);
    }
    ox_vector_destroy(&asc->host_addr_map_v);
    ka_partition_table_destroy_all(asc);
    for (uint32_t i = 0; i < ox_vector_size(&asc->node_v); i++) {
        ka_cluster_node_release((ka_cluster_node *)ox_vector_pointer_get(&asc->node_v, i));
    }
    ox_vector_destroy(&asc->node_v);
    ka_async_share_release(asc->async_share, true);
    pthread_mutex_destroy(&asc->LOCK);
    asc->~ka_cluster();
    free(asc);
}

void tamberlin_cluster_destroy(ka_cluster *asc)
{
    if (!asc) {
        return;
    }
    pthread_mutex_lock(&cluster_ll_LOCK);
    cluster_unlink_locked(asc);
    pthread_mutex_unlock(&cluster_ll_LOCK);
    cluster_free(asc);
}

void tamberlin_cluster_release_or_destroy(ka_cluster **asc)
{
    if (!asc || !*asc) {
        return;
    }
    ka_cluster *c = *asc;
    pthread_mutex_lock(&cluster_ll_LOCK);
    pthread_mutex_lock(&c->LOCK);
    if (c->ref_count > 0) {
        c->ref_count--;
    }
    bool last = c->ref_count == 0;
    if (last) {
        cluster_unlink_locked(c);
    }
    pthread_mutex_unlock(&c->LOCK);
    pthread_mutex_unlock(&cluster_ll_LOCK);
    if (last) {
        cluster_free(c);
        *asc = nullptr;
    }
}

void tamberlin_cluster_shutdown()
{
    pthread_mutex_lock(&g_clust_init_LOCK);
    if (g_clust_initialized.load()) {
        // The tend thread is stopped and joined before any cluster goes, so it
        // can hold no lock and no cluster while they are destroyed.
        pthread_mutex_lock(&g_tend_stop_LOCK);
        g_tend_stop = true;
        pthread_cond_broadcast(&g_tend_stop_CV);
        pthread_mutex_unlock(&g_tend_stop_LOCK);
        if (getpid() == g_tender_pid) {
            pthread_join(tender_thr, nullptr);
        }
        for (;;) {
            pthread_mutex_lock(&cluster_ll_LOCK);
            ox_ll_element *e = ox_ll_get_head(&cluster_ll);
            if (e) {
                ox_ll_delete(&cluster_ll, e);
            }
            pthread_mutex_unlock(&cluster_ll_LOCK);
            if (!e) {
                break;
            }
            cluster_free((ka_cluster *)e);
        }
        // Started again by the next tamberlin_cluster_init.
        g_clust_initialized = false;
    }
    pthread_mutex_unlock(&g_clust_init_LOCK);
}

// --- Nodes ---

ka_cluster_node *ka_cluster_node_create(char *name, struct sockaddr_in *sa_in)
{
    size_t name_len = name ? strlen(name) : 0;
    if (name_len == 0 || name_len >= KA_NODE_NAME_SIZE || !sa_in) {
        return nullptr;
    }
    void *mem = ka::ox_client_rc_alloc(sizeof(ka_cluster_node));
    if (!mem) {
        return nullptr;
    }
    memset(mem, 0, sizeof(ka_cluster_node));
    ka_cluster_node *cn = new (mem) ka_cluster_node;
    memcpy(cn->name, name, name_len + 1);
    cn->intervals_absent = 0;
    cn->intervals_unreachable = 0;
    cn->partition_generation = KA_PARTITION_GENERATION_UNKNOWN;
    cn->info_fd = -1;
    cn->conn_q = ox_queue_create(sizeof(int), true);
    cn->conn_q_asyncfd = ox_queue_create(sizeof(int), true);
    cn->asyncwork_q = ox_queue_create(sizeof(void *), true);
    if (ox_vector_init(&cn->sockaddr_in_v, sizeof(struct sockaddr_in), 5, 0) != 0 || !cn->conn_q ||
        !cn->conn_q_asyncfd || !cn->asyncwork_q || ox_vector_append(&cn->sockaddr_in_v, sa_in) != 0) {
        ox_vector_destroy(&cn->sockaddr_in_v);
        for (ox_queue *q : {cn->conn_q, cn->conn_q_asyncfd, cn->asyncwork_q}) {
            if (q) {
                ox_queue_destroy(q);
            }
        }
        ka::ox_client_rc_free(mem);
        return nullptr;
    }
    pthread_mutex_init(&cn->addr_lock, nullptr);
    return cn;
}

void ka_cluster_node_reserve(ka_cluster_node *cn)
{
    ka::ox_client_rc_reserve(cn);
}

static void close_all(ox_queue *q)
{
    int fd;
    while (ox_queue_pop(q, &fd, OX_QUEUE_NOWAIT) == OX_QUEUE_OK) {
        close(fd);
    }
}

static void node_end(ka_cluster_node *cn)
{
    ox_vector_destroy(&cn->sockaddr_in_v);
    close_all(cn->conn_q);
    close_all(cn->conn_q_asyncfd);
    void *work;
    while (ox_queue_pop(cn->asyncwork_q, &work, OX_QUEUE_NOWAIT) == OX_QUEUE_OK) {
        free(work);
    }
    if (g_ka_async_hashtab) {
        shash_reduce_delete(g_ka_async_hashtab, ka_del_node_asyncworkitems, cn);
    }
    ka_cluster_node_end_fn hook = g_ka_node_end_hook.load();
    if (hook) {
        hook(cn);
    }
    ox_queue_destroy(cn->conn_q);
    ox_queue_destroy(cn->conn_q_asyncfd);
    ox_queue_destroy(cn->asyncwork_q);
    if (cn->info_fd != -1) {
        close(cn->info_fd);
    }
    pthread_mutex_destroy(&cn->addr_lock);
    cn->~ka_cluster_node();
    ka::ox_client_rc_free(cn);
}

void ka_cluster_node_release(ka_cluster_node *cn)
{
    if (ka::ox_client_rc_release_x(cn, false) == 0) {
        node_end(cn);
    }
}

void ka_cluster_node_put(ka_cluster_node *cn)
{
    ka_cluster_node_release(cn);
}

bool ka_cluster_node_has_addr(ka_cluster_node *cn, const struct sockaddr_in *sa_in)
{
    bool found = false;
    pthread_mutex_lock(&cn->addr_lock);
    for (uint32_t i = 0; i < ox_vector_size(&cn->sockaddr_in_v) && !found; i++) {
        found = memcmp(ox_vector_getp(&cn->sockaddr_in_v, i), sa_in, sizeof(*sa_in)) == 0;
    }
    pthread_mutex_unlock(&cn->addr_lock);
    return found;
}

ka_cluster_node *ka_cluster_node_get_byname(ka_cluster *asc, char *name)
{
    ka_cluster_node *found = nullptr;
    pthread_mutex_lock(&asc->LOCK);
    for (uint32_t i = 0; i < ox_vector_size(&asc->node_v) && !found; i++) {
        ka_cluster_node *cn = (ka_cluster_node *)ox_vector_pointer_get(&asc->node_v, i);
        if (strcmp(cn->name, name) == 0) {
            found = cn;
        }
    }
    pthread_mutex_unlock(&asc->LOCK);
    return found;
}

ka_cluster_node *ka_cluster_node_get_byaddr(ka_cluster *asc, struct sockaddr_in *sa_in)
{
    ka_cluster_node *found = nullptr;
    pthread_mutex_lock(&asc->LOCK);
    for (uint32_t i = 0; i < ox_vector_size(&asc->node_v) && !found; i++) {
        ka_cluster_node *cn = (ka_cluster_node *)ox_vector_pointer_get(&asc->node_v, i);
        if (ka_cluster_node_has_addr(cn, sa_in)) {
            found = cn;
        }
    }
    pthread_mutex_unlock(&asc->LOCK);
    return found;
}

ka_cluster_node *ka_cluster_node_get_random(ka_cluster *asc)
{
    pthread_mutex_lock(&asc->LOCK);
    uint32_t n = ox_vector_size(&asc->node_v);
    for (uint32_t tries = 0; tries < n; tries++) {
        if (ox_vector_size(&asc->node_v) == 0) {
            break;
        }
        asc->last_node++;
        if (asc->last_node >= ox_vector_size(&asc->node_v)) {
            asc->last_node = 0;
        }
        ka_cluster_node *cn = (ka_cluster_node *)ox_vector_pointer_get(&asc->node_v, asc->last_node);
        if (cn) {
            ka_cluster_node_reserve(cn);
            pthread_mutex_unlock(&asc->LOCK);
            return cn;
        }
    }
    pthread_mutex_unlock(&asc->LOCK);
    return nullptr;
}

void ka_cluster_get_node_names(ka_cluster *asc, int *n_nodes, char **node_names)
{
    *n_nodes = 0;
    *node_names = nullptr;
    pthread_mutex_lock(&asc->LOCK);
    uint32_t n = ox_vector_size(&asc->node_v);
    if (n != 0) {
        char *names = (char *)malloc((size_t)n * KA_NODE_NAME_SIZE);
        if (names) {
            for (uint32_t i = 0; i < n; i++) {
                ka_cluster_node *cn = (ka_cluster_node *)ox_vector_pointer_get(&asc->node_v, i);
                memcpy(names + (size_t)i * KA_NODE_NAME_SIZE, cn->name, KA_NODE_NAME_SIZE);
            }
            *n_nodes = (int)n;
            *node_names = names;
        }
    }
    pthread_mutex_unlock(&asc->LOCK);
}

// --- Connections ---

int is_connected(int fd)
{
    uint8_t buf[8];
    ssize_t rv = recv(fd, buf, sizeof(buf), MSG_PEEK | MSG_DONTWAIT | MSG_NOSIGNAL);
    if (rv == 0) {
        KA_LOG_DEBUG("connected check: found disconnected fd %d", fd);
        return KA_CONN_CLOSED;
    }
    if (rv < 0) {
        if (errno == EBADF) {
            KA_LOG_WARN("connected check: bad fd %d", fd);
            return KA_CONN_BADFD;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return KA_CONN_ALIVE;
        }
        KA_LOG_INFO("connected check: fd %d error %d", fd, errno);
        return KA_CONN_ERROR;
    }
    // Bytes that no request of ours asked for: a reply read from this
    // descriptor would be the wrong one.
    KA_LOG_INFO("connected check: peek got data - surprising! fd %d", fd);
    return KA_CONN_STRAY_DATA;
}

void ka_cluster_node_set_unreachable(ka_cluster_node *cn, const char *why)
{
    uint32_t v = cn->intervals_unreachable.load();
    while (v < KA_NODE_UNREACHABLE_DEAD) {
        if (cn->intervals_unreachable.compare_exchange_weak(v, KA_NODE_UNREACHABLE_DEAD)) {
            KA_LOG_WARN("node %s %s: counted unreachable until it answers again", cn->name, why);
            return;
        }
    }
}

bool ka_cluster_node_unreachable(const ka_cluster_node *cn)
{
    return cn->intervals_unreachable.load() >= KA_NODE_UNREACHABLE_DEAD;
}

// Descriptors that the asynchronous receiver gave back right after a whole
// reply, stamped with the time (low 32 bits of ox_getms, 0: none). A peer
// that has just answered a request has not gone away a few milliseconds
// later unless it fails, and then the next request's reply shows it; so such
// a descriptor taken again within KA_FD_FRESH_MS skips the liveness probe;
// a send that fails on it is no failed attempt (the sender takes another),
// as the probe would have closed it. Every other pooled descriptor, and a
// fresh one left longer, is probed.
namespace {
constexpr int KA_FD_FRESH_SLOTS = 65536;
constexpr uint32_t KA_FD_FRESH_MS = 250;
std::atomic<uint32_t> g_fd_fresh[KA_FD_FRESH_SLOTS];

uint32_t fresh_stamp()
{
    return (uint32_t)ka::ox_getms() | 1u; // never 0
}

// Whether fd was given back fresh within the window; clears its stamp.
bool take_fresh(int fd)
{
    if (fd < 0 || fd >= KA_FD_FRESH_SLOTS) {
        return false;
    }
    uint32_t stamp = g_fd_fresh[fd].exchange(0, std::memory_order_relaxed);
    return stamp != 0 && fresh_stamp() - stamp < KA_FD_FRESH_MS;
}

void set_fresh(int fd, uint32_t stamp)
{
    if (fd >= 0 && fd < KA_FD_FRESH_SLOTS) {
        g_fd_fresh[fd].store(stamp, std::memory_order_relaxed);
    }
}
} // namespace

int ka_cluster_node_fd_get(ka_cluster_node *cn, bool asyncfd, bool nbconnect)
{
    bool unprobed;
    return ka_cluster_node_fd_get_unprobed(cn, asyncfd, nbconnect, &unprobed);
}

int ka_cluster_node_fd_get_unprobed(ka_cluster_node *cn, bool asyncfd, bool nbconnect, bool *unprobed)
{
    ox_queue *q = asyncfd ? cn->conn_q_asyncfd : cn->conn_q;
    *unprobed = false;
    for (;;) {
        int fd = -1;
        int rv = ox_queue_pop(q, &fd, OX_QUEUE_NOWAIT);
        if (rv == OX_QUEUE_EMPTY) {
            return ka_cluster_node_fd_create(cn, asyncfd || nbconnect);
        }
        if (rv != OX_QUEUE_OK) {
            KA_LOG_ERROR("bad return value from ox_queue_pop");
            return -1;
        }
        if (take_fresh(fd)) {
            *unprobed = true;
            return fd;
        }
        int state = is_connected(fd);
        if (state == KA_CONN_ALIVE) {
            return fd;
        }
        if (state == KA_CONN_BADFD) {
            KA_LOG_WARN("found bad file descriptor in queue: fd %d", fd);
        } else {
            close(fd);
        }
    }
}

void ka_cluster_node_fd_put(ka_cluster_node *cn, int fd, bool asyncfd)
{
    set_fresh(fd, 0);
    if (asyncfd) {
        if (ox_queue_push(cn->conn_q_asyncfd, &fd) != OX_QUEUE_OK) {
            close(fd);
        }
    } else if (!ox_queue_push_limit(cn->conn_q, &fd, KA_NODE_FD_POOL_MAX)) {
        close(fd);
    }
}

void ka_cluster_node_fd_put_answered(ka_cluster_node *cn, int fd)
{
    // Stamped before the push: once pooled, another thread may take it.
    set_fresh(fd, fresh_stamp());
    if (ox_queue_push(cn->conn_q_asyncfd, &fd) != OX_QUEUE_OK) {
        set_fresh(fd, 0);
        close(fd);
    }
}

static bool set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        flags = 0;
    }
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK) >= 0;
}

// Copies the node's addresses into *v (the caller's vector) under addr_lock.
static void node_addrs_copy(ka_cluster_node *cn, ox_vector *v)
{
    pthread_mutex_lock(&cn->addr_lock);
    for (uint32_t i = 0; i < ox_vector_size(&cn->sockaddr_in_v); i++) {
        ox_vector_append(v, ox_vector_getp(&cn->sockaddr_in_v, i));
    }
    pthread_mutex_unlock(&cn->addr_lock);
}

int ka_cluster_node_fd_create(ka_cluster_node *cn, bool nonblocking)
{
    ox_vector_define(addrs, sizeof(struct sockaddr_in), 0);
    node_addrs_copy(cn, &addrs);
    int result = -1;
    // A socket whose connect failed is not connected again: each address
    // gets a socket of its own.
    for (uint32_t i = 0; i < ox_vector_size(&addrs) && result < 0; i++) {
        struct sockaddr_in *sa = (struct sockaddr_in *)ox_vector_getp(&addrs, i);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) {
            break;
        }
        if (nonblocking && !set_nonblocking(fd)) {
            close(fd);
            break;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        if (connect(fd, (struct sockaddr *)sa, sizeof(*sa)) == 0) {
            if (set_nonblocking(fd)) {
                result = fd;
            } else {
                close(fd);
                break;
            }
        } else if (nonblocking && errno == EINPROGRESS) {
            ka::ox_print_sockaddr_in("Connecting to ", sa);
            KA_LOG_DEBUG("Non-blocking connect returned EINPROGRESS as expected");
            result = fd;
        } else {
            if (errno == ECONNREFUSED) {
                KA_LOG_ERROR("a host is refusing connections");
            } else {
                KA_LOG_ERROR("connect fail: errno %d", errno);
            }
            close(fd);
        }
    }
    ox_vector_destroy(&addrs);
    return result;
}

bool ka_cluster_node_prep_info_fd(ka_cluster_node *cn)
{
    if (cn->info_fd != -1) {
        return true;
    }
    ox_vector_define(addrs, sizeof(struct sockaddr_in), 0);
    node_addrs_copy(cn, &addrs);
    if (ox_vector_size(&addrs) == 0) {
        KA_LOG_WARN("node %s has no sockaddrs", cn->name);
    }
    for (uint32_t i = 0; i < ox_vector_size(&addrs) && cn->info_fd == -1; i++) {
        cn->info_fd = ka::ox_socket_create_and_connect_nb((struct sockaddr_in *)ox_vector_getp(&addrs, i));
    }
    ox_vector_destroy(&addrs);
    return cn->info_fd != -1;
}

void ka_cluster_node_close_info_fd(ka_cluster_node *cn)
{
    if (cn->info_fd != -1) {
        shutdown(cn->info_fd, SHUT_RDWR);
        close(cn->info_fd);
        cn->info_fd = -1;
    }
}

// --- Setters and getters ---

int tamberlin_cluster_get_nodecount(ka_cluster *asc)
{
    pthread_mutex_lock(&asc->LOCK);
    int n = (int)ox_vector_size(&asc->node_v);
    pthread_mutex_unlock(&asc->LOCK);
    return n;
}

bool tamberlin_cluster_settled(ka_cluster *asc)
{
    return asc->found_all.load();
}

void tamberlin_cluster_follow(ka_cluster *asc, bool flag)
{
    asc->follow = flag;
}

void tamberlin_cluster_use_nbconnect(ka_cluster *asc)
{
    asc->nbconnect = true;
}

void tamberlin_cluster_change_info_timeout(ka_cluster *asc, int msecs)
{
    if (msecs > 0) {
        asc->info_timeout = msecs;
    } else {
        KA_LOG_WARN("can't use info timeout of %d - leaving %d ms", msecs, (int)asc->info_timeout.load());
    }
}

void tamberlin_cluster_change_tend_speed(ka_cluster *asc, int secs)
{
    asc->tend_speed = secs < 0 ? 1u : (uint32_t)secs;
}

void tamberlin_change_tend_speed(int secs)
{
    g_clust_tend_speed = secs < 1 ? 1u : (uint32_t)secs;
}

void tamberlin_sleep_for_tender(ka_cluster *asc)
{
    sleep_ms((uint64_t)ka_cluster_period(asc) * ka_cluster_tick_ms());
}

void tamberlin_cluster_get_compression_stat(ka_cluster *asc, uint64_t *actual_sz, uint64_t *compressed_sz)
{
    *actual_sz = 0;
    *compressed_sz = 0;
    if (!asc) {
        return;
    }
    pthread_mutex_lock(&asc->LOCK);
    *actual_sz = asc->compression_stat.actual_sz;
    *compressed_sz = asc->compression_stat.compressed_sz;
    pthread_mutex_unlock(&asc->LOCK);
}

void tamberlin_cluster_put_compression_stat(ka_cluster *asc, uint64_t actual_sz, uint64_t compressed_sz)
{
    pthread_mutex_lock(&asc->LOCK);
    asc->compression_stat.actual_sz += actual_sz;
    asc->compression_stat.compressed_sz += compressed_sz;
    pthread_mutex_unlock(&asc->LOCK);
}
