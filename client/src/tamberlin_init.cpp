// Library start and stop.
//
// Start and stop are serialised by one lock. Every synchronous call is
// counted while it runs: the stop first clears the started flag, then waits
// for the count to drain before it tears anything down, so that no call is
// still using a cluster that the stop destroys. A call counts itself before
// it looks at the flag, and the stop clears the flag before it looks at the
// count (both sequentially consistent), so one of the two always sees the
// other.
//
// A forked child inherits the flag, the pid and the count of the parent but
// none of its threads: its first synchronous call notices the new pid, forgets
// the parent's calls, clears the start flags of cluster support and the batch
// workers, and starts the library again in the child.
#include "tamberlin/tamberlin.h"

#include "ka_cluster_internal.h"
#include "ka_init_internal.h"
#include "tamberlin/ka_async.h"
#include "tamberlin/ka_batch.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_shm.h"
#include "tamberlin/ox_log.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

static pthread_mutex_t g_init_LOCK = PTHREAD_MUTEX_INITIALIZER;
static std::atomic<int> g_sync_calls{0};

// Caller holds g_init_LOCK.
static int init_locked()
{
    KA_LOG_INFO("Quillmere client version %s", tamberlin_build_string ? tamberlin_build_string : "");
    ka::g_init_pid = getpid();
    tamberlin_cluster_init();
    if (!ka_cluster_initialized()) {
        // Without a tend thread no cluster would ever find a node.
        ka::g_initialized = false;
        return -1;
    }
    ka::g_initialized = true;
    return 0;
}

int tamberlin_init(void)
{
    pthread_mutex_lock(&g_init_LOCK);
    int rv = init_locked();
    pthread_mutex_unlock(&g_init_LOCK);
    return rv;
}

void tamberlin_shutdown(void)
{
    pthread_mutex_lock(&g_init_LOCK);
    if (!ka::g_initialized) {
        pthread_mutex_unlock(&g_init_LOCK);
        return;
    }
    ka::g_initialized = false;
    // In a child that never made a call of its own the count is the parent's.
    if (getpid() == ka::g_init_pid) {
        while (g_sync_calls.load() > 0) {
            struct timespec ts = {0, 1000000};
            while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
            }
        }
    }
    tamberlin_async_shutdown();
    tamberlin_batch_shutdown();
    tamberlin_cluster_shutdown();
    if (ka_shm_on()) {
        tamberlin_shm_free();
    }
    pthread_mutex_unlock(&g_init_LOCK);
}

void tamberlin_print_stats(void)
{
}

static void fork_check()
{
    if (getpid() == ka::g_init_pid.load()) {
        return;
    }
    pthread_mutex_lock(&g_init_LOCK);
    if (ka::g_initialized && getpid() != ka::g_init_pid) {
        g_sync_calls = 0;
        __atomic_store_n(&batch_initialized, 0u, __ATOMIC_SEQ_CST);
        tamberlin_cluster_clear_init();
        init_locked();
    }
    pthread_mutex_unlock(&g_init_LOCK);
}

bool ka_sync_call_enter()
{
    if (!ka::g_initialized) {
        return false;
    }
    fork_check();
    g_sync_calls.fetch_add(1);
    if (!ka::g_initialized) {
        g_sync_calls.fetch_sub(1);
        return false;
    }
    return true;
}

void ka_sync_call_leave()
{
    g_sync_calls.fetch_sub(1);
}
