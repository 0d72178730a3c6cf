/*
 * Pipe reader thread: the open cycle of the named pipe, reading one message
 * per read and its dispatch (digests to the digest-log queue, the namespace
 * list, boot nodes, failed-node reports). It owns the pipe descriptor and the
 * failed-node slots, and it starts the digest-log writer and the failed-node
 * threads.
 *
 * The server writes each message whole, and a pipe hands a write of up to
 * PIPE_BUF bytes to one read whole, so every read is one message. A read that
 * brings less is a short message of its own, never completed by the next
 * read: gluing pieces together would put every later message out of step
 * for as long as the pipe stays open. A short message is acted on only when
 * it holds its type's whole body. Every number that comes from the pipe
 * indexes a table only after it is checked against that table's bounds.
 */
#include "tamberlin/ferry.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "ferry_local.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"

static uint64_t s_drop_count; // pipe reader thread only
// Written by the pipe reader thread only; atomic so that tests may watch them.
static std::atomic<uint64_t> s_interrupted{0};
static std::atomic<int> s_nodata{0};
// The pipe descriptor the shutdown took, for the pipe reader to close: the
// reader may be inside a read of it, and a descriptor closed under a read can
// be reused by the next open anywhere in the process.
static std::atomic<int> s_pipe_fd_to_close{-1};
// Set by the shutdown: no pipe is opened for reading any more, since what a
// reader took after the shutdown's last look would be lost at the exit.
static std::atomic<bool> s_pipe_closed_for_good{false};
// How long the pipe reader waits in one poll before it looks for that handoff.
#define FERRY_NAMEDPIPE_POLL_MS 100

uint64_t
ferry_intake_drop_count(void)
{
	return s_drop_count;
}

uint64_t
ferry_intake_interrupted_calls(void)
{
	return s_interrupted.load(std::memory_order_relaxed);
}

int
ferry_intake_nodata_count(void)
{
	return s_nodata.load(std::memory_order_relaxed);
}

void
ferry_intake_start(void)
{
	g_dlog_q = ox_queue_create(sizeof(ferry_msg), true);
	if (!g_dlog_q) {
		ox_crash(QM_FERRY, OX_GLOBAL, "Could not create digest log queue ... Aborting !!!");
		return;
	}
	ferry_start_detached(dlogwriter, nullptr, true);
	for (int i = 0; i < NAMESPACE_MAX_NUM; i++) {
		__atomic_store_n(&g_ns_dbuckets[i].initialized, false, __ATOMIC_RELEASE);
	}
}

void
ferry_namedpipe_open(void)
{
	const char *path = g_xcfg.ferry_digestpipe_path;
	// The open blocks until the server opens its end; a signal handled
	// meanwhile (a log reopen, say) must not end the process.
	int fd;
	while ((fd = open(path, O_RDONLY)) < 0 && errno == EINTR) {
		s_interrupted.fetch_add(1, std::memory_order_relaxed);
	}
	if (fd < 0) {
		ox_crash(QM_FERRY, OX_GLOBAL, "Failed to open the digest namedpipe %s: %s ... Aborting", path,
				ox_strerror(errno));
		return;
	}
	__atomic_store_n(&g_xcfg.ferry_digestpipe_fd, fd, __ATOMIC_SEQ_CST);
	// A shutdown that came during the open found no descriptor to take: this
	// one is not read. Either the shutdown's exchange sees the store above,
	// or this load sees its flag (both may; the exchange settles who closes).
	if (s_pipe_closed_for_good.load()) {
		if (__atomic_exchange_n(&g_xcfg.ferry_digestpipe_fd, -1, __ATOMIC_SEQ_CST) == fd) {
			close(fd);
		}
		return;
	}
	if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
		ox_info(QM_FERRY, "Error while aquiring lock on named pipe file...");
		exit(1);
	}
	ox_info(QM_FERRY, "named pipe file  lock aquired successfully...");
	ox_debug(QM_FERRY, "Opened the pipe %s ...", path);
	g_isnamedpipe_open.store(true);
}

ssize_t
ferry_namedpipe_readmsg(int fd, ferry_msg *msg)
{
	ssize_t n;
	// A signal that comes before any byte makes the read fail with EINTR; one
	// that comes later cannot cut a pipe read short.
	while ((n = read(fd, msg, sizeof(ferry_msg))) < 0 && errno == EINTR) {
		s_interrupted.fetch_add(1, std::memory_order_relaxed);
	}
	if (n <= 0) {
		return n < 0 ? -1 : 0;
	}
	// The buffer is reused from message to message: nothing of the one before
	// may show through behind a short read.
	memset((uint8_t *)msg + n, 0, sizeof(ferry_msg) - (size_t)n);
	return n;
}

void
ferry_stamp_clock_seed_from_log(struct ox_rbuffer *rb)
{
	ox_rbuffer_ctx *ctx = rb ? ox_rbuffer_getsetctx(rb, nullptr, 2) : nullptr;
	if (!ctx) {
		return;
	}
	ferry_msg_ondisk rec;
	if (ox_rbuffer_seek(rb, ctx, -1, 1) == 1 && ox_rbuffer_read(rb, ctx, (char *)&rec, 1) == 1) {
		// One past it: every record of the earlier run lies before the boot
		// time, every record of this one at or after it.
		ferry_stamp_clock_seed(rec.diginfo.digesttime + 1);
	}
	ox_rbuffer_closectx(ctx);
}

static void
ferry_dispatch_digest(ferry_msg *msg)
{
	ferry_msg_digestinfo *d = &msg->data.diginfo;
	ox_atomic64_add(&g_ferry_cntr->pipe_reads_diginfo, 1);
	d->digesttime = ferry_stamp_clock();
	if (!ferry_ns_known(d->ns_id)) {
		ox_warning(QM_FERRY,
				"Got digest packet for an unknown namespace with id %d from named pipe... queuing it for digest logger",
				d->ns_id);
	}
	if (ferry_dlog_q_push(msg, g_ferry_cntr) != FERRY_DLOG_Q_FULL) {
		return;
	}
	if (s_drop_count == FERRY_DLOG_DROP_WARN_EVERY) {
		ox_warning(QM_FERRY,
				"Ran Out Of queue Space... FERRY cannot keep up with write .. some records may be lost!!! ");
		s_drop_count = 1;
	} else {
		s_drop_count++;
	}
	ox_debug(QM_FERRY, "Dropping records");
}

/* The configured name of namespace nsid equals the message's name, which is
 * only read within its 32 bytes. */
static bool
ferry_ns_name_agrees(int32_t nsid, const char *msg_name)
{
	if (nsid > g_ns_count || !g_ns_xcfg_opt[nsid].ns_name) {
		return false;
	}
	size_t n = strnlen(msg_name, NAMESPACE_MAX_SZ);
	const char *cfg = g_ns_xcfg_opt[nsid].ns_name;
	return strlen(cfg) == n && memcmp(cfg, msg_name, n) == 0;
}

static void
ferry_dispatch_nsinfo(ferry_msg *msg)
{
	ferry_msg_nsinfo *ns = &msg->data.nsinfo;
	int32_t id = ns->ns_id;
	int namelen = (int)strnlen(ns->ns_name, NAMESPACE_MAX_SZ);
	if (id == -1) {
		g_ns_sync_complete.store(true);
		ox_detail(QM_FERRY, "Got information about all the namespaces");
		return;
	}
	bool in_range = id >= 1 && id < NAMESPACE_MAX_NUM;
	if (ferry_ns_known(id)) {
		ox_info(QM_FERRY, "Got a namespace id %.*s:%d info again. Ignoring it.", namelen, ns->ns_name, id);
		return;
	}
	if (!in_range || !ferry_ns_name_agrees(id, ns->ns_name)) {
		ox_crash(QM_FERRY, OX_GLOBAL,
				"Server and FERRY are not agreeing on the namespace info in config file. Use the same config file used by the server");
		return;
	}
	char name[NAMESPACE_MAX_SZ] = {0};
	memcpy(name, ns->ns_name, (size_t)namelen < sizeof(name) ? (size_t)namelen : sizeof(name) - 1);
	if (ferry_ns_bucket_setup(id, name, __atomic_load_n(&g_xcfg.ferry_read_batch_size, __ATOMIC_RELAXED)) == 0) {
		ox_info(QM_FERRY, "Namespace %s with id %d setup for shipping", name, id);
	}
}

/* The slot goes back free, holding nothing. */
static void
ferry_failednode_unclaim(int slot)
{
	for (int dc = 0; dc < DC_MAX_NUM; dc++) {
		ferry_failednode_hold(slot, dc, FERRY_LST_NONE);
	}
	g_failednodeinfo[slot].slotinuse.store(false);
}

/* Starts the thread of a slot the caller has just claimed and filled; the
 * slot is free again when the thread cannot be had. The run's records are
 * held from here on: its thread may wait long for the clusters before it
 * reads, and a reclaim meanwhile must not give them up. */
static void
ferry_failednode_start(int slot, ox_node node, thread_data *td)
{
	ferry_failednode_hold_start(slot);
	auto *fi = (failover_info *)ox_malloc(sizeof(failover_info));
	if (!fi) {
		ox_warning(QM_FERRY, "Allocation failed, Failed node processing for Node %lu won't be done",
				(unsigned long)node);
		ferry_failednode_unclaim(slot);
		return;
	}
	fi->slotnumber = slot;
	fi->td = td;
	if (ferry_start_detached(ferry_handle_failover, fi, true) != 0) {
		ox_free(fi);
		ferry_failednode_unclaim(slot);
	}
}

static void
ferry_dispatch_node_failed(ferry_msg_clust_state_change *ch, thread_data *td)
{
	ox_node node = ch->node;
	uint64_t adjust = ferry_time_adjust();
	uint64_t failtime = ferry_stamp_clock() + adjust;
	int limit = g_maxfailedever < CLUSTER_MAX_SZ ? g_maxfailedever : CLUSTER_MAX_SZ;
	int repeated = -1;
	for (int i = 0; i < limit; i++) {
		if (g_failednodeinfo[i].slotinuse.load() && g_failednodeinfo[i].node == node) {
			repeated = i;
		}
	}
	if (repeated >= 0) {
		failednode_info *f = &g_failednodeinfo[repeated];
		ox_info(QM_FERRY, "Failed node processing is already in progress for the node %lu",
				(unsigned long)node);
		for (int d = 0; d < g_dc_count; d++) {
			f->ferrylastship[d].store(ferry_sub_sat(ch->lastshiptime[d], adjust));
		}
		// The end last: a thread that sees it sees the starts too.
		f->failtime.store(failtime);
		if (f->slotinuse.load()) {
			// Still in use after the store: its thread reads the new end
			// before it lets the slot go, or takes the slot back after.
			return;
		}
		// Its thread finished meanwhile, perhaps before the new end: run
		// again, unless the thread has taken the slot back itself.
		if (ferry_failednode_claim(repeated)) {
			ferry_failednode_start(repeated, node, td);
		}
		return;
	}
	// The last free slot below the high-water mark first; a thread that has
	// just let its slot go may take it back, hence the claim.
	int slot = -1;
	for (int i = limit - 1; i >= 0 && slot < 0; i--) {
		if (!g_failednodeinfo[i].slotinuse.load() && ferry_failednode_claim(i)) {
			slot = i;
		}
	}
	if (slot < 0) {
		if (g_maxfailedever >= CLUSTER_MAX_SZ) {
			// Every slot is taken by a running failed-node thread.
			ox_warning(QM_FERRY, "MAX failed slot count overflowed");
			return;
		}
		slot = g_maxfailedever++;
		if (!ferry_failednode_claim(slot)) {
			return; // cannot be: no thread has ever had this slot
		}
	}
	failednode_info *f = &g_failednodeinfo[slot];
	f->node = node;
	for (int d = 0; d < DC_MAX_NUM; d++) {
		f->ferrylastship[d].store(ferry_sub_sat(ch->lastshiptime[d], adjust));
		if (d < g_dc_count) {
			ox_info(QM_FERRY, "Node %lx failed at time %lu lastshiptime=%lu", (unsigned long)node,
					(unsigned long)failtime, (unsigned long)ch->lastshiptime[d]);
		}
	}
	f->failtime.store(failtime);
	ferry_failednode_start(slot, node, td);
}

static void
ferry_dispatch_boot_node(ox_node node)
{
	if (g_bootnode_sync_complete.load()) {
		ox_info(QM_FERRY, "Got info of node %lu again. Ignoring it.", (unsigned long)node);
		return;
	}
	if (node == 0) {
		g_bootnode_sync_complete.store(true);
		ox_detail(QM_FERRY, "Got information about all the nodes at boot time");
		return;
	}
	if (g_bootnodecount >= CLUSTER_MAX_SZ) {
		ox_warning(QM_FERRY, "Boot node list is full (%d nodes), node %lu is not recorded", CLUSTER_MAX_SZ,
				(unsigned long)node);
		return;
	}
	g_bootnodes[g_bootnodecount++] = node;
	ox_detail(QM_FERRY, "Node %lu is in the cluster. Will skip digests of this node before boot time",
			(unsigned long)node);
}

void
ferry_namedpipe_dispatch(ferry_msg *msg, thread_data *td)
{
	switch (msg->xm_type) {
	case FERRY_MSG_TYPE_DIGESTINFO:
		ferry_dispatch_digest(msg);
		break;
	case FERRY_MSG_TYPE_NSINFO:
		ferry_dispatch_nsinfo(msg);
		break;
	case FERRY_MSG_TYPE_CLUST_STATE_CHANGE:
		switch (msg->data.clchg.change) {
		case FERRY_MSG_CLSTCHG_REMOVE:
			ferry_dispatch_node_failed(&msg->data.clchg, td);
			break;
		case FERRY_MSG_CLSTCHG_INIT:
			ferry_dispatch_boot_node(msg->data.clchg.node);
			break;
		default:
			ox_warning(QM_FERRY, "Received unknown FERRY message type %d. Possibly a corrupt message.",
					FERRY_MSG_TYPE_CLUST_STATE_CHANGE);
			break;
		}
		break;
	default:
		ox_warning(QM_FERRY, "Received unknown FERRY message type %d. Possibly a corrupt message.",
				msg->xm_type);
		break;
	}
}

/* The bytes a message of this type must bring for its body to be read. */
static size_t
ferry_msg_needed(uint8_t type)
{
	switch (type) {
	case FERRY_MSG_TYPE_NSINFO:
		return offsetof(ferry_msg, data) + sizeof(ferry_msg_nsinfo);
	case FERRY_MSG_TYPE_DIGESTINFO:
		return FERRY_MSG_ONDISK_SIZE;
	case FERRY_MSG_TYPE_CLUST_STATE_CHANGE:
		return offsetof(ferry_msg, data) + sizeof(ferry_msg_clust_state_change);
	default:
		return 1;
	}
}

void
ferry_namedpipe_dispatch_read(ferry_msg *msg, size_t len, thread_data *td)
{
	if (len < sizeof(ferry_msg)) {
		ox_warning(QM_FERRY, "Read a short message of %zu bytes from the digest namedpipe", len);
		if (len < ferry_msg_needed(msg->xm_type)) {
			// Its body was never written: what the zeros behind it would say
			// (a digest, a failed node) is not what the server sent.
			ox_warning(QM_FERRY, "Received unknown FERRY message type %d. Possibly a corrupt message.",
					msg->xm_type);
			return;
		}
	}
	ferry_namedpipe_dispatch(msg, td);
}

// Reads the descriptor the shutdown handed over empty, queueing every message
// the server had written into it, then closes it; true when there was one.
// Only then does the shutdown see the handoff done, so what was read is
// counted as unlogged before it waits for the writer. A server that writes
// faster than the reader reads cannot hold the shutdown here: the reading
// ends after its time, and what the pipe then holds is lost.
static bool
ferry_namedpipe_close_taken(thread_data *td)
{
	int fd = s_pipe_fd_to_close.load();
	if (fd < 0) {
		return false;
	}
	int flags = fcntl(fd, F_GETFL);
	if (flags >= 0 && !(flags & O_NONBLOCK)) {
		fcntl(fd, F_SETFL, flags | O_NONBLOCK);
	}
	uint64_t end = ox_getms() + ferry_scaled_ms(FERRY_NAMEDPIPE_DRAIN_MS);
	ferry_msg msg;
	for (uint64_t n = 1;; n++) {
		ssize_t r = ferry_namedpipe_readmsg(fd, &msg);
		if (r <= 0) {
			break; // empty (EAGAIN), or the server closed its end
		}
		ferry_namedpipe_dispatch_read(&msg, (size_t)r, td);
		if (n % 256 == 0 && ox_getms() >= end) {
			ox_warning(QM_FERRY,
					"The digest namedpipe was still being written %d ms into the shutdown; what it holds now is not read",
					FERRY_NAMEDPIPE_DRAIN_MS);
			break;
		}
	}
	s_pipe_fd_to_close.store(-1);
	close(fd);
	return true;
}

void
ferry_namedpipe_shutdown_close(void)
{
	s_pipe_closed_for_good.store(true);
	int fd = __atomic_exchange_n(&g_xcfg.ferry_digestpipe_fd, -1, __ATOMIC_SEQ_CST);
	if (fd < 0) {
		return;
	}
	// The reader closes it within FERRY_NAMEDPIPE_POLL_MS; one that never
	// looks again (it is parked in a fatal signal's handler) leaves it to the
	// process's end, which is near.
	s_pipe_fd_to_close.store(fd);
}

bool
ferry_namedpipe_wait_taken(int limit_ms)
{
	uint64_t end = ox_getms() + (uint64_t)(limit_ms > 0 ? limit_ms : 0);
	while (s_pipe_fd_to_close.load() >= 0) {
		if (ox_getms() >= end) {
			return false;
		}
		usleep(5000);
	}
	return true;
}

void
ferry_namedpipe_read_loop(thread_data *td)
{
	int nodata = 0;
	s_nodata.store(0, std::memory_order_relaxed);
	ferry_msg msg;
	// Reads never block: while messages flow each costs one read, and only an
	// empty pipe waits, in short polls, so a shutdown's handoff of the
	// descriptor is seen.
	int fd = __atomic_load_n(&g_xcfg.ferry_digestpipe_fd, __ATOMIC_SEQ_CST);
	int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
	if (flags >= 0 && !(flags & O_NONBLOCK)) {
		fcntl(fd, F_SETFL, flags | O_NONBLOCK);
	}
	for (;;) {
		ferry_namedpipe_close_taken(td);
		fd = __atomic_load_n(&g_xcfg.ferry_digestpipe_fd, __ATOMIC_SEQ_CST);
		errno = 0;
		ssize_t r = fd >= 0 ? ferry_namedpipe_readmsg(fd, &msg) : 0;
		if (r > 0) {
			nodata = 0;
			s_nodata.store(0, std::memory_order_relaxed);
			ferry_namedpipe_dispatch_read(&msg, (size_t)r, td);
			continue;
		}
		if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			struct pollfd p = {fd, POLLIN, 0};
			poll(&p, 1, FERRY_NAMEDPIPE_POLL_MS);
			continue;
		}
		ox_info(QM_FERRY, "Did not get valid buffer from the digest namedpipe. errno=%d", errno);
		s_nodata.store(nodata + 1, std::memory_order_relaxed);
		if (++nodata < FERRY_NAMEDPIPE_NODATA_MAXCNT) {
			ferry_sleep_ms(1000);
			continue;
		}
		fd = __atomic_exchange_n(&g_xcfg.ferry_digestpipe_fd, -1, __ATOMIC_SEQ_CST);
		if (fd >= 0) {
			ox_info(QM_FERRY, "Reopening the named pipe");
			close(fd);
			return;
		}
		// The shutdown handler closed the pipe: keep reading once a second.
		nodata = 0;
		s_nodata.store(0, std::memory_order_relaxed);
		ferry_sleep_ms(1000);
	}
}

void
ferry_namedpipe_open_cycle(void)
{
	ferry_wait_for_server(-1);
	g_isnamedpipe_open.store(false);
	ox_debug(QM_FERRY, "Opening the pipe %s ...", g_xcfg.ferry_digestpipe_path);
	ferry_start_detached(ferry_invoke_serverferry, nullptr, true);
	ferry_sleep_ms(FERRY_NAMEDPIPEOPEN_DELAY_SECS * 1000);
	ferry_namedpipe_open();
}

void *
read_namedpipe(void *arg)
{
	auto *td = (thread_data *)arg;
	ferry_intake_start();
	for (;;) {
		ferry_namedpipe_open_cycle();
		ferry_namedpipe_read_loop(td);
	}
	return nullptr;
}
