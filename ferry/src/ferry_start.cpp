/*
 * Start-up: the command line and the fixed order in which the process comes
 * up, on the main thread, which in the end becomes the digest-log reader.
 *
 * The signal handlers are installed once the digest log is open and before
 * the info server, the local server's wait and the pipe reader start: from
 * the first record taken from the pipe a SIGTERM persists what was taken,
 * also while start-up still waits for the clusters. Until then every signal
 * has its default effect, so a CRITICAL line ends the process without
 * shutdown work; nothing before that point has anything to save. The early
 * ends return a
 * status from ferry_main: 255 for a bad command line, 0 when the shipper is
 * disabled or another shipper holds the digest log.
 *
 * Files with fixed names in shared directories ("/tmp/relay.err", the pid
 * file) are opened through ox_safe_open, never through a planted link.
 */
#include <fcntl.h>
#include <getopt.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "ferry_clusters.h"
#include "ferry_dlogreader.h"
#include "ferry_housekeeper.h"
#include "ferry_info_server.h"
#include "ferry_local.h"
#include "ferry_ship.h"
#include "ferry_signals.h"
#include "ferry_start.h"
#include "tamberlin/daemon.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ka_async.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"
#include "tamberlin/tamberlin.h"

#define FERRY_INVALID_OPTION_ERRFILE "/tmp/relay.err"
#define FERRY_ERRFILE_MODE 0600
#define FERRY_PIDFILE_MODE 0644
#define FERRY_DLOG_BATCH_SIZE 100
#define FERRY_PIPE_WAIT_MS 1000

enum { OPT_ERR = 1, OPT_CONFIG_FILE, OPT_RESUME, OPT_NORESUME, OPT_NOFAILOVER };

static const struct option ferry_cmd_options[] = {
	{"err", required_argument, nullptr, OPT_ERR},
	{"config-file", required_argument, nullptr, OPT_CONFIG_FILE},
	{"resume", optional_argument, nullptr, OPT_RESUME},
	{"noresume", optional_argument, nullptr, OPT_NORESUME},
	{"nofailover", optional_argument, nullptr, OPT_NOFAILOVER},
	{nullptr, 0, nullptr, 0},
};

static void
ferry_usage(void)
{
	static const char *const lines[] = {
		"Usage: relay --resume|--noresume [--config-file <filepath>] [--err <errlog>]",
		"\n\t--resume\n\t\t Resume log record shipping",
		"\t--noresume\n\t\t Do not resume log record shipping",
		"\t--nofailover\n\t\t Resume but do not do failover of nodes",
		"\t--config-file\n\t\t relay config file path",
		"\t--err \n\t\trelay client error log ",
		"\n--resume or --noresume or --nofailover needs to be passed",
	};
	for (const char *l : lines) {
		printf("%s\n", l);
	}
	fflush(stdout);
}

/* Points standard error at path through the safe open; false on failure. */
static bool
ferry_stderr_to_safe_file(const char *path)
{
	int fd = ox_safe_open(path, O_WRONLY | O_CREAT | O_TRUNC, FERRY_ERRFILE_MODE);
	if (fd < 0) {
		return false;
	}
	fflush(stderr);
	bool ok = dup2(fd, STDERR_FILENO) >= 0;
	close(fd);
	return ok;
}

/* Whether "privsep to ..." went to standard error, without a newline. */
static bool s_privsep_said;

/* The lock of the digest log: 0, or -1 with *held set when another shipper
 * holds it (the file itself opened). */
static int
ferry_digestlog_flock(char *dlogpath, bool *held)
{
	*held = false;
	// The descriptor stays open for the life of the process: closing it would
	// drop the lock.
	int fd = open(dlogpath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
	if (fd < 0) {
		int err = errno;
		ox_warning(QM_FERRY, "error while opening dlogfile %s: %s ...", dlogpath, ox_strerror(err));
		// Also where a supervisor looks: the log may be a file nobody reads
		// yet.
		if (!g_faultsink || g_faultsink->fd != STDERR_FILENO) {
			fprintf(stderr, "%serror while opening dlogfile %s: %s ...\n", s_privsep_said ? "\n" : "", dlogpath,
					ox_strerror(err));
		}
		return -1;
	}
	if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
		ox_warning(QM_FERRY, "Error while taking dlogfile lock...");
		close(fd);
		*held = true;
		return -1;
	}
	ox_info(QM_FERRY, "dlogfile lock aquired successfully ...");
	return 0;
}

int
ferry_get_digestlog_flock(char *dlogpath)
{
	bool held;
	return ferry_digestlog_flock(dlogpath, &held);
}

static void
ferry_write_pidfile(const char *path)
{
	char text[14];
	int len = snprintf(text, sizeof(text), "%d\n", (int)getpid());
	// Only a file of ours is removed; anything else planted at the name is
	// left for the open to refuse.
	struct stat st;
	if (lstat(path, &st) == 0 && S_ISREG(st.st_mode)) {
		unlink(path);
	}
	int fd = ox_safe_open(path, O_RDWR | O_CREAT | O_TRUNC, FERRY_PIDFILE_MODE);
	if (fd < 0) {
		ox_crash_nostack(QM_QM, OX_GLOBAL, "failed to open pid file %s: %s", path, ox_strerror(errno));
		return;
	}
	if (write(fd, text, (size_t)len) != len) {
		ox_warning(QM_QM, "failed to write pid file %s: %s", path, ox_strerror(errno));
	}
	close(fd);
}

/* The reader must read again what may have been in flight when the process
 * ended: the batch being read plus every write not yet answered. When fewer
 * records than that are kept before it, it goes back to the first kept one. */
static void
ferry_move_reader_back(void)
{
	int64_t back = (int64_t)g_xcfg.ferry_read_batch_size + (int64_t)g_xcfg.ferry_max_recs_inflight;
	if (back > INT_MAX) {
		back = INT_MAX;
	}
	if (back <= 0) {
		return;
	}
	if (ox_rbuffer_seek(g_rbuf_des, nullptr, -(int)back, 1) == 0) {
		ox_rbuffer_getsetctx(g_rbuf_des, &g_rbuf_des->rctx, 0);
	}
}

static void
ferry_apply_start_mode(counters *cntr)
{
	if (g_isresume == 1) {
		if (g_failover) {
			ox_rbuffer_setfailover(g_rbuf_des);
		} else {
			ox_rbuffer_setnofailover(g_rbuf_des);
		}
		uint64_t n = ox_rbuffer_outstanding(g_rbuf_des);
		if (g_failover) {
			ox_info(QM_FERRY, "Starting FERRY with resume ... to ship %ld outstanding log records ...", (long)n);
		} else {
			ox_info(QM_FERRY, "Starting FERRY with nofailover ... to ship %ld outstanding log records ...",
					(long)n);
		}
		if (n != 0) {
			ox_atomic64_add(&cntr->dlog_pkts_logged, n);
		}
	} else {
		ox_rbuffer_setnoresume(g_rbuf_des);
		ox_info(QM_FERRY, "Starting FERRY with no resume...");
	}
}

/* The whole start-up, in its fixed order, until the main thread becomes the
 * digest-log reader; returns only on an early end. */
static int
ferry_start(const char *config_path)
{
	static counters s_cntr;
	static cluster_cfg s_mcfg;
	static thread_data s_td;

	ferry_config_clear_tables();
	read_configfile_ferrysection(&g_xcfg, config_path);
	ox_info(QM_FERRY, "Starting with privilege uid=%d,gid=%d", (int)g_xcfg.uid, (int)g_xcfg.gid);
	if (g_xcfg.uid != 0 && geteuid() == 0) {
		fprintf(stderr, "privsep to %d %d", (int)g_xcfg.uid, (int)g_xcfg.gid);
		s_privsep_said = true;
		ox_process_privsep(g_xcfg.uid, g_xcfg.gid);
	} else if (g_xcfg.gid != 0 && geteuid() == 0) {
		// A group without a user is applied (the user stays root): left
		// alone, the process would run at gid 0 under a configuration that
		// named another group.
		fprintf(stderr, "privsep to %d %d", 0, (int)g_xcfg.gid);
		s_privsep_said = true;
		ox_process_privsep(0, g_xcfg.gid);
	}
	if (ox_fault_sink_activate_all_held() != 0) {
		ox_crash_nostack(QM_FERRY, OX_GLOBAL, "can't open the errorlog file %s",
				g_xcfg.ferry_errorlog_path ? g_xcfg.ferry_errorlog_path : "");
	}
	ferry_dump_configfile(config_path);
	ferry_config_checks(&g_xcfg);
	if (g_xcfg.ferry_pidfile) {
		ferry_write_pidfile(g_xcfg.ferry_pidfile);
	}

	memset(&s_td, 0, sizeof(s_td));
	memset(&s_cntr, 0, sizeof(s_cntr));
	memset(&s_mcfg, 0, sizeof(s_mcfg));
	s_td.cntr = &s_cntr;
	s_td.mcfg = &s_mcfg;
	s_td.rcfg = g_rcfg;
	g_ferry_cntr = s_td.cntr;
	ferry_failednode_slots_reset();
	g_maxfailedever = 0;
	g_ns_sync_complete.store(false);
	g_bootnode_sync_complete.store(false);
	g_boottime = ox_clock_getabsolute();

	char *dlogpath = g_xcfg.ferry_digestlog_path[0];
	if (!dlogpath) {
		ox_crash(QM_FERRY, OX_GLOBAL, "No Digest Ring Buffer File defined... Aborting");
		return -1;
	}
	// The ring buffer keeps its own copy of the name once it is open.
	char *fname = ox_strdup(dlogpath);
	ox_rbuffer_config rc = {};
	rc.fname[0] = fname;
	rc.fsize[0] = (int64_t)g_xcfg.ferry_digestlog_file_size[0];
	rc.nfiles = 1;
	rc.rec_size = FERRY_MSG_ONDISK_SIZE;
	rc.batch_size = FERRY_DLOG_BATCH_SIZE;
	rc.overwrite = g_xcfg.ferry_digestlog_overwrite;
	rc.persist = g_xcfg.ferry_digestlog_persist;
	rc.trace = false;

	bool held;
	if (ferry_digestlog_flock(dlogpath, &held) != 0) {
		ox_free(fname);
		// A second shipper on the same digest log steps aside cleanly; one
		// that cannot open its digest log at all has failed, and a
		// supervisor must see it fail rather than a clean stop.
		return held ? 0 : 1;
	}
	g_rbuf_des = ox_rbuffer_init(&rc);
	ox_free(fname);
	if (!g_rbuf_des) {
		ox_crash(OX_RBUFFER, OX_GLOBAL, "Could not Initialize ring buffer... Aborting");
		return -1;
	}
	ferry_restore_lst_from_words(g_rbuf_des->hdr[0].udata);
	ferry_move_reader_back();
	// Digests stamped from here on, and the boot time they are compared
	// with, lie at or after every record logged before.
	ferry_stamp_clock_seed_from_log(g_rbuf_des);
	g_boottime = ferry_stamp_clock();

	g_diginfo_freepool_q = ox_queue_create(sizeof(void *), true);
	if (!g_diginfo_freepool_q) {
		ox_crash(QM_FERRY, OX_GLOBAL, "Could not create memory pool for digest info... Aborting");
		return -1;
	}
	g_sockaddr_in_v = ox_vector_create(sizeof(struct sockaddr_in), 5, 0);
	char localhost[] = "127.0.0.1";
	if (!g_sockaddr_in_v || ka_lookup(nullptr, localhost, (short)g_xcfg.ferry_local_port, g_sockaddr_in_v) != 0) {
		ox_crash(QM_FERRY, OX_GLOBAL, "Could not get socket details of localhost... Aborting");
		return -1;
	}

	ferry_setup_sighandlers();
	ferry_info_init(s_td.cntr);
	ferry_wait_for_server(-1);
	ferry_apply_start_mode(s_td.cntr);
	ox_info(QM_FERRY, "FERRY compression threshold set to %d", g_xcfg.ferry_compression_threshold);

	g_isnamedpipe_open.store(false);
	ferry_start_detached(read_namedpipe, &s_td, true);
	while (!g_isnamedpipe_open.load()) {
		ox_info(QM_FERRY, "Waiting for hived to open named pipe... ");
		ferry_sleep_ms(FERRY_PIPE_WAIT_MS);
	}

	tamberlin_init();
	if (tamberlin_async_init(g_xcfg.ferry_max_recs_inflight, g_xcfg.ferry_threads, ferry_sendfail_cb_fn,
				ferry_sendsuccess_cb_fn) != 0) {
		ox_crash(QM_FERRY, OX_GLOBAL, "Failed to initialize the async functionality of C client... Aborting");
		return -1;
	}
	ferry_clusters_start(&s_td);
	ferry_start_detached(housekeeper, s_td.cntr, true);
	dlogreader(&s_td);
	return 0;
}

int
ferry_main(int argc, char **argv)
{
	char *errpath = nullptr;
	char *config_path = nullptr;
	auto end = [&](int rv) {
		ox_free(errpath);
		ox_free(config_path);
		return rv;
	};
	bool mode_given = false;
	g_isresume = -1;
	g_failover = true;

	optind = 0; // a fresh scan, also when called again in one process
	int opt;
	while ((opt = getopt_long(argc, argv, "", ferry_cmd_options, nullptr)) != -1) {
		switch (opt) {
		case OPT_ERR:
			ox_free(errpath);
			errpath = ox_strdup(optarg);
			break;
		case OPT_CONFIG_FILE:
			ox_free(config_path);
			config_path = ox_strdup(optarg);
			break;
		case OPT_RESUME:
			g_isresume = 1;
			mode_given = true;
			break;
		case OPT_NORESUME:
			g_isresume = 0;
			mode_given = true;
			break;
		case OPT_NOFAILOVER:
			g_isresume = 1;
			g_failover = false;
			mode_given = true;
			break;
		default:
			// The parser has already said what was wrong.
			if (!ferry_stderr_to_safe_file(FERRY_INVALID_OPTION_ERRFILE)) {
				return end(-1);
			}
			printf("Invalid option\n");
			ferry_usage();
			return end(-1);
		}
	}
	if (!config_path) {
		config_path = ox_strdup(FERRY_DEFAULT_CONFIG_PATH);
	}
	if (errpath) {
		if (dup2(STDOUT_FILENO, STDERR_FILENO) < 0 || !freopen(errpath, "w", stderr)) {
			return end(-1);
		}
	}
	if (!mode_given) {
		ferry_usage();
		return end(-1);
	}
	return end(ferry_start(config_path));
}
