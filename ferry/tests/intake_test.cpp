// Dispatch of pipe messages: namespace lists set up slot tables (and refuse
// numbers or names the configuration does not have), digests are stamped and
// queued up to the queue limit, boot-node and failed-node reports fill their
// bounded tables with saturated start times; a short read is acted on only
// when it holds its type's whole body; the log lines they leave, and the
// pacing of the queue-space warning.
#include <gtest/gtest.h>

#include <regex.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <sstream>
#include <vector>

#include "../src/ferry_clusters.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ox_clock.h"
#include "testkit/fake_local_server.h"

namespace {

counters g_test_counters;

class Intake : public ::testing::Test {
protected:
	void SetUp() override
	{
		// Failed-node reports of earlier cases start threads of their own;
		// the death tests here fork only once those have ended.
		EXPECT_TRUE(ferry_test_wait_single_thread(30000));
		ferry_test_reset_intake(&g_test_counters);
		g_ns_count = 2;
		g_ns_xcfg_opt[1].ns_name = ox_strdup("test");
		g_ns_xcfg_opt[2].ns_name = ox_strdup("other");
		g_dc_count = 2;
		for (int i = 0; i < NAMESPACE_MAX_NUM; i++) {
			ferry_ns_bucket_free(i);
		}
		g_ns_sync_complete.store(false);
		g_bootnode_sync_complete.store(false);
		g_bootnodecount = 0;
		ferry_failednode_slots_reset();
		g_maxfailedever = 0;
		// The failed-node threads that reports start wait until the test is
		// done with their slots.
		g_clusters_created.store(false);
	}
	void TearDown() override
	{
		g_clusters_created.store(true);
		EXPECT_TRUE(ferry_test_wait_single_thread(30000));
		for (int i = 0; i < NAMESPACE_MAX_NUM; i++) {
			ferry_ns_bucket_free(i);
		}
		ferry_test_reset_config();
	}
	static void dispatch(ferry_msg *m) { ferry_namedpipe_dispatch(m, nullptr); }
	ferry_msg nsmsg;
	// Runs fn in a child process that logs every level to a file; the log.
	static void logged_by(const std::function<void()> &fn, std::string *log)
	{
		std::string path = ferry_test_path("log");
		EXPECT_EXIT(
			{
				ox_fault_sink *sink = ox_fault_sink_hold(path.c_str());
				ox_fault_sink_addcontext(sink, "any", "detail");
				ox_fault_sink_activate_all_held();
				fn();
				exit(0);
			},
			::testing::ExitedWithCode(0), "");
		*log = ferry_test_read_file(path);
		unlink(path.c_str());
	}
};

// The log line of one event of this file: severity, context, location, text
// (an extended regular expression).
std::string
line_of(const char *severity, const std::string &text)
{
	return std::string(severity) + " \\(relay\\): \\(ferry_intake\\.cpp:[a-z_]*:[0-9]+\\) " + text + "$";
}

// Where the first line at or after from that matches pattern ends; npos when
// none does.
size_t
find_line(const std::string &log, size_t from, const std::string &pattern)
{
	regex_t re;
	if (regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_NEWLINE) != 0) {
		return std::string::npos;
	}
	regmatch_t m;
	bool found = from <= log.size() && regexec(&re, log.c_str() + from, 1, &m, 0) == 0;
	regfree(&re);
	return found ? from + (size_t)m.rm_eo : std::string::npos;
}

TEST_F(Intake, NamespaceListSetsUpTables)
{
	ferry_msg m;
	fls_make_ns(&m, 2, "other");
	dispatch(&m);
	EXPECT_TRUE(ferry_ns_known(2));
	EXPECT_FALSE(ferry_ns_known(1));
	EXPECT_STREQ(g_ns_dbuckets[2].ns_name, "other");
	// Announced again: nothing changes.
	uint32_t *gens = g_ns_dbuckets[2].generations;
	dispatch(&m);
	EXPECT_EQ(g_ns_dbuckets[2].generations, gens);
	// A name read only within its 32 bytes: a terminator ends it.
	fls_make_ns(&m, 1, "test");
	memcpy(m.data.nsinfo.ns_name + 5, "junk", 4);
	dispatch(&m);
	EXPECT_TRUE(ferry_ns_known(1));
	EXPECT_FALSE(g_ns_sync_complete.load());
	fls_make_ns(&m, -1, nullptr);
	dispatch(&m);
	EXPECT_TRUE(g_ns_sync_complete.load());
}

TEST_F(Intake, NamespaceDisagreementEndsTheProcess)
{
	struct {
		const char *name;
		int32_t id;
		std::string text;
	} cases[] = {
		{"number 0", 0, "test"},
		{"number 32", 32, "test"},
		{"number far out", 1000000, "test"},
		{"negative number", -7, "test"},
		{"not configured", 3, "third"},
		{"other name", 1, "tesT"},
		{"32 bytes without terminator", 1, "test" + std::string(28, 'x')},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		ferry_msg m;
		fls_make_ns(&m, c.id, nullptr);
		memcpy(m.data.nsinfo.ns_name, c.text.data(), c.text.size() < 32 ? c.text.size() : 32);
		EXPECT_DEATH(dispatch(&m),
				"CRITICAL GLOBAL \\(relay\\): .*Server and FERRY are not agreeing on the namespace info in "
				"config file. Use the same config file used by the server");
	}
}

TEST_F(Intake, DigestsAreStampedAndQueued)
{
	ferry_msg m;
	fls_make_ns(&m, 1, "test");
	dispatch(&m);
	uint64_t before = ox_clock_getabsolute();
	fls_make_digest(&m, 1, 7, 42, 0, 0);
	dispatch(&m);
	// Unknown and out-of-range namespaces are still queued and logged.
	fls_make_digest(&m, 2, 8, 43, 0, 0);
	dispatch(&m);
	fls_make_digest(&m, 99, 9, 44, 0, RELAY_DELETE_FLAG);
	dispatch(&m);
	EXPECT_EQ(g_test_counters.pipe_reads_diginfo, 3u);
	EXPECT_EQ(g_test_counters.dlog_pkts_unlogged, 3u);
	ASSERT_EQ(ox_queue_sz(g_dlog_q), 3);
	ferry_msg out;
	uint32_t gens[3] = {7, 8, 9};
	for (int i = 0; i < 3; i++) {
		ASSERT_EQ(ox_queue_pop(g_dlog_q, &out, 0), OX_QUEUE_OK);
		EXPECT_EQ(out.data.diginfo.generation, gens[i]);
		EXPECT_GE(out.data.diginfo.digesttime, before); // the server's 12345 is replaced
		EXPECT_LE(out.data.diginfo.digesttime, ox_clock_getabsolute());
	}
	EXPECT_EQ(out.data.diginfo.delete_flag, (uint32_t)RELAY_DELETE_FLAG);
}

// The wall clock steps back while digests come in: their stamps never go
// back, and a failure reported then ends its run after every record stamped
// so far, by the margin.
std::atomic<uint64_t> g_wall{0};
uint64_t
test_wall(void)
{
	return g_wall.load();
}

TEST_F(Intake, StampsAndFailureTimesNeverGoBackWithTheWallClock)
{
	ferry_msg m;
	fls_make_ns(&m, 1, "test");
	dispatch(&m);
	const uint64_t base = ferry_stamp_clock() + 50;
	g_ferry_wallclock.store(test_wall);
	const int64_t walls[] = {0, -60000, -10 * (int64_t)FERRY_TIME_ADJUST, 10, 5, 20};
	for (int64_t w : walls) {
		g_wall.store((uint64_t)((int64_t)base + w));
		fls_make_digest(&m, 1, 7, 42, 0, 0);
		dispatch(&m);
	}
	uint64_t last = 0;
	ferry_msg out;
	for (int64_t w : walls) {
		ASSERT_EQ(ox_queue_pop(g_dlog_q, &out, 0), OX_QUEUE_OK);
		EXPECT_GE(out.data.diginfo.digesttime, last) << w;
		EXPECT_GE(out.data.diginfo.digesttime, base) << w;
		last = out.data.diginfo.digesttime;
	}
	EXPECT_EQ(last, base + 20);
	g_wall.store(base - 120000);
	uint64_t lst[DC_MAX_NUM] = {base - 1000, base - 1000};
	fls_make_failed(&m, 0xA1, lst);
	dispatch(&m);
	g_ferry_wallclock.store(nullptr);
	EXPECT_GE(g_failednodeinfo[0].failtime.load(), last + FERRY_TIME_ADJUST);
}

TEST_F(Intake, FullQueueDropsAndCounts)
{
	ferry_msg m;
	fls_make_digest(&m, 1, 1, 1, 0, 0);
	for (int i = 0; i <= FERRY_DLOG_Q_MAXSIZE; i++) {
		ASSERT_EQ(ox_queue_push(g_dlog_q, &m), OX_QUEUE_OK);
	}
	uint64_t drops = ferry_intake_drop_count();
	const int extra = 6500;
	for (int i = 0; i < extra; i++) {
		dispatch(&m);
		// The pacing count cycles 1..3000 after its first 3000.
		drops = drops == FERRY_DLOG_DROP_WARN_EVERY ? 1 : drops + 1;
	}
	EXPECT_EQ(ferry_intake_drop_count(), drops);
	EXPECT_EQ(g_test_counters.dlog_pkts_dropped, (uint64_t)extra);
	EXPECT_EQ(g_test_counters.dlog_pkts_unlogged, 0u);
	EXPECT_EQ(ox_queue_sz(g_dlog_q), FERRY_DLOG_Q_MAXSIZE + 1);
	ox_queue_delete_all(g_dlog_q);
}

TEST_F(Intake, FailedNodeReports)
{
	uint64_t lst[DC_MAX_NUM] = {0};
	lst[0] = 1000000;
	lst[1] = 100; // less than the adjustment: the window starts at 0
	ferry_msg m;
	uint64_t before = ox_clock_getabsolute();
	fls_make_failed(&m, 0xA1, lst);
	dispatch(&m);
	ASSERT_EQ(g_maxfailedever, 1);
	failednode_info *f = &g_failednodeinfo[0];
	EXPECT_TRUE(f->slotinuse);
	EXPECT_EQ(f->node, 0xA1u);
	EXPECT_EQ(f->ferrylastship[0], 1000000u - FERRY_TIME_ADJUST);
	EXPECT_EQ(f->ferrylastship[1], 0u);
	EXPECT_GE(f->failtime, before + FERRY_TIME_ADJUST);

	// A repeated report moves the window, takes no new slot.
	lst[0] = 2000000;
	fls_make_failed(&m, 0xA1, lst);
	dispatch(&m);
	EXPECT_EQ(g_maxfailedever, 1);
	EXPECT_EQ(f->ferrylastship[0], 2000000u - FERRY_TIME_ADJUST);

	// A new node takes the last free slot below the high-water mark first.
	fls_make_failed(&m, 0xB2, lst);
	dispatch(&m);
	fls_make_failed(&m, 0xC3, lst);
	dispatch(&m);
	ASSERT_EQ(g_maxfailedever, 3);
	g_failednodeinfo[0].slotinuse = false;
	g_failednodeinfo[1].slotinuse = false;
	fls_make_failed(&m, 0xD4, lst);
	dispatch(&m);
	EXPECT_EQ(g_maxfailedever, 3);
	EXPECT_EQ(g_failednodeinfo[1].node, 0xD4u);
	EXPECT_FALSE(g_failednodeinfo[0].slotinuse);
}

// A report holds the log from its run's start as the slot is claimed: the
// run's thread waits for the clusters first (here, for ever), and a reclaim
// meanwhile must find the hold already.
TEST_F(Intake, AFailureReportHoldsTheLogFromItsStartAtOnce)
{
	uint64_t lst[DC_MAX_NUM] = {0};
	lst[0] = 5000000;
	lst[1] = 2000000; // the smaller: the run starts there for both
	ferry_msg m;
	fls_make_failed(&m, 0xA1, lst);
	dispatch(&m);
	ASSERT_TRUE(g_failednodeinfo[0].slotinuse);
	for (int dc = 0; dc < 2; dc++) {
		EXPECT_EQ(ferry_failednode_lst_min(dc), 2000000u - FERRY_TIME_ADJUST) << dc;
	}
	EXPECT_EQ(ferry_failednode_reclaim_bound(), 2000000u - 2 * FERRY_TIME_ADJUST);
	// Nothing usable to start from: nothing held.
	uint64_t none[DC_MAX_NUM] = {0};
	fls_make_failed(&m, 0xB2, none);
	dispatch(&m);
	ASSERT_TRUE(g_failednodeinfo[1].slotinuse);
	EXPECT_EQ(g_failednodeinfo[1].lst_hold[0].load(), FERRY_LST_NONE);
}

TEST_F(Intake, FailedNodeSlotsStayWithinBounds)
{
	uint64_t lst[DC_MAX_NUM] = {0};
	ferry_msg m;
	for (int i = 0; i < CLUSTER_MAX_SZ + 5; i++) {
		fls_make_failed(&m, 1000 + (uint64_t)i, lst);
		dispatch(&m);
	}
	EXPECT_EQ(g_maxfailedever, CLUSTER_MAX_SZ);
	EXPECT_EQ(g_failednodeinfo[CLUSTER_MAX_SZ - 1].node, 1000u + CLUSTER_MAX_SZ - 1);
	// Once a slot is free again, a new report takes it.
	g_failednodeinfo[17].slotinuse = false;
	fls_make_failed(&m, 5555, lst);
	dispatch(&m);
	EXPECT_EQ(g_failednodeinfo[17].node, 5555u);
}

TEST_F(Intake, BootNodeList)
{
	ferry_msg m;
	for (int i = 1; i <= CLUSTER_MAX_SZ + 3; i++) {
		fls_make_boot(&m, (ox_node)i);
		dispatch(&m);
	}
	EXPECT_EQ(g_bootnodecount, CLUSTER_MAX_SZ); // the rest are warned about, not written
	EXPECT_EQ(g_bootnodes[CLUSTER_MAX_SZ - 1], (ox_node)CLUSTER_MAX_SZ);
	EXPECT_FALSE(g_bootnode_sync_complete.load());
	fls_make_boot(&m, 0);
	dispatch(&m);
	EXPECT_TRUE(g_bootnode_sync_complete.load());
	g_bootnodecount = 2;
	fls_make_boot(&m, 77); // after the end mark: ignored
	dispatch(&m);
	EXPECT_EQ(g_bootnodecount, 2);
}

TEST_F(Intake, UnknownMessagesChangeNothing)
{
	ferry_msg m;
	fls_make_boot(&m, 5);
	m.data.clchg.change = FERRY_MSG_CLSTCHG_ADD;
	dispatch(&m);
	m.data.clchg.change = 99;
	dispatch(&m);
	memset(&m, 0xee, sizeof(m));
	dispatch(&m);
	m.xm_type = 0;
	dispatch(&m);
	EXPECT_EQ(g_bootnodecount, 0);
	EXPECT_EQ(g_maxfailedever, 0);
	EXPECT_EQ(ox_queue_sz(g_dlog_q), 0);
}

} // namespace

namespace {

TEST_F(Intake, LogLinesOfTheMessages)
{
	uint64_t lst[DC_MAX_NUM] = {1000000, 100};
	struct {
		const char *name;
		std::function<void(ferry_msg *)> send; // builds and dispatches the messages
		std::vector<std::string> lines;        // regular expressions, in order
	} cases[] = {
		{"namespace set up and announced again",
			[](ferry_msg *m) {
				fls_make_ns(m, 2, "other");
				dispatch(m);
				dispatch(m);
			},
			{line_of("INFO", "Namespace other with id 2 setup for shipping"),
				line_of("INFO", "Got a namespace id other:2 info again\\. Ignoring it\\.")}},
		{"namespace list ends",
			[](ferry_msg *m) {
				fls_make_ns(m, -1, nullptr);
				dispatch(m);
			},
			{line_of("DETAIL", "Got information about all the namespaces")}},
		{"digest of an unknown namespace",
			[](ferry_msg *m) {
				fls_make_digest(m, 99, 1, 1, 0, 0);
				dispatch(m);
			},
			{line_of("WARNING",
				"Got digest packet for an unknown namespace with id 99 from named pipe\\.\\.\\. queuing it for "
				"digest logger")}},
		{"an ADD change names type 3",
			[](ferry_msg *m) {
				fls_make_boot(m, 5);
				m->data.clchg.change = FERRY_MSG_CLSTCHG_ADD;
				dispatch(m);
			},
			{line_of("WARNING", "Received unknown FERRY message type 3\\. Possibly a corrupt message\\.")}},
		{"an unknown type names its byte",
			[](ferry_msg *m) {
				memset(m, 0, sizeof(*m));
				m->xm_type = 0xee;
				dispatch(m);
			},
			{line_of("WARNING", "Received unknown FERRY message type 238\\. Possibly a corrupt message\\.")}},
		{"a failure, then the same again",
			[&lst](ferry_msg *m) {
				fls_make_failed(m, 0xA1, lst);
				dispatch(m);
				dispatch(m);
			},
			{line_of("INFO", "Node a1 failed at time [0-9]+ lastshiptime=1000000"),
				line_of("INFO", "Node a1 failed at time [0-9]+ lastshiptime=100"),
				line_of("INFO", "Failed node processing is already in progress for the node 161")}},
		{"a failure with every slot taken",
			[&lst](ferry_msg *m) {
				for (int i = 0; i <= CLUSTER_MAX_SZ; i++) {
					fls_make_failed(m, 1000 + (uint64_t)i, lst);
					dispatch(m);
				}
			},
			{line_of("WARNING", "MAX failed slot count overflowed")}},
		{"boot nodes, the end, and one more",
			[](ferry_msg *m) {
				for (ox_node n : {5, 0, 77}) {
					fls_make_boot(m, n);
					dispatch(m);
				}
			},
			{line_of("DETAIL", "Node 5 is in the cluster\\. Will skip digests of this node before boot time"),
				line_of("DETAIL", "Got information about all the nodes at boot time"),
				line_of("INFO", "Got info of node 77 again\\. Ignoring it\\.")}},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::string log;
		logged_by(
			[&c] {
				ferry_msg m;
				c.send(&m);
			},
			&log);
		size_t from = 0;
		for (const std::string &l : c.lines) {
			from = find_line(log, from, l);
			ASSERT_NE(from, std::string::npos) << l << "\n" << log.substr(0, 4000);
		}
	}
}

TEST_F(Intake, ShortReadsActOnlyOnWholeBodies)
{
	fls_make_ns(&nsmsg, 1, "test");
	uint64_t lst[DC_MAX_NUM] = {1000000};
	ferry_msg digest, failed, boot, zero;
	fls_make_digest(&digest, 1, 7, 42, 0, 0);
	fls_make_failed(&failed, 0xA1, lst);
	fls_make_boot(&boot, 5);
	memset(&zero, 0, sizeof(zero));
	const std::string corrupt = "Received unknown FERRY message type %d\\. Possibly a corrupt message\\.";
	struct {
		const char *what;
		const ferry_msg *m;
		size_t len;
		int queued;          // digests queued
		int corrupt_type;    // the type named as corrupt, -1 for none
	} cases[] = {
		{"a whole digest", &digest, sizeof(ferry_msg), 1, -1},
		{"a digest's record and no more", &digest, FERRY_MSG_ONDISK_SIZE, 1, -1},
		{"a digest one byte short of its record", &digest, FERRY_MSG_ONDISK_SIZE - 1, 0, 2},
		{"the type byte of a digest", &digest, 1, 0, 2},
		{"40 bytes of a digest", &digest, 40, 0, 2},
		{"a failed-node report without its last times", &failed, 100, 0, 3},
		{"a boot node without the rest", &boot, 24, 0, 3},
		{"a namespace message without its whole name", &nsmsg, 43, 0, 1},
		{"zeros", &zero, 40, 0, 0},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		auto send = [&c] {
			ferry_msg m;
			memcpy(&m, c.m, sizeof(m));
			memset((char *)&m + c.len, 0, sizeof(m) - c.len); // as the read leaves it
			ferry_namedpipe_dispatch_read(&m, c.len, nullptr);
		};
		send();
		EXPECT_EQ(ox_queue_sz(g_dlog_q), c.queued);
		EXPECT_EQ(g_maxfailedever, 0);
		EXPECT_EQ(g_bootnodecount, 0);
		EXPECT_FALSE(ferry_ns_known(1));
		ox_queue_delete_all(g_dlog_q);
		std::string log;
		logged_by(send, &log);
		std::string short_line = line_of("WARNING",
				"Read a short message of " + std::to_string(c.len) + " bytes from the digest namedpipe");
		if (c.len < sizeof(ferry_msg)) {
			EXPECT_NE(find_line(log, 0, short_line), std::string::npos) << log;
		} else {
			EXPECT_EQ(log.find("short message"), std::string::npos) << log;
		}
		char text[200];
		snprintf(text, sizeof(text), corrupt.c_str(), c.corrupt_type);
		size_t at = find_line(log, 0, line_of("WARNING", text));
		if (c.corrupt_type >= 0) {
			EXPECT_NE(at, std::string::npos) << log;
		} else {
			EXPECT_EQ(log.find("corrupt"), std::string::npos) << log;
		}
	}
	EXPECT_EQ(g_test_counters.pipe_reads_diginfo, 2u);
}

TEST_F(Intake, QueueSpaceWarningComesWithEvery3000thDrop)
{
	// The pacing count goes on from where earlier drops of this process left it.
	uint64_t count = ferry_intake_drop_count();
	std::string log;
	logged_by(
		[] {
			ferry_msg m;
			fls_make_digest(&m, 1, 1, 1, 0, 0);
			for (int i = 0; i <= FERRY_DLOG_Q_MAXSIZE; i++) {
				ox_queue_push(g_dlog_q, &m);
			}
			for (int i = 0; i < 6500; i++) {
				dispatch(&m);
			}
		},
		&log);
	// The drops before each warning, read off the log.
	std::vector<int> drops_before_warning;
	int drops = 0;
	std::istringstream lines(log);
	for (std::string l; std::getline(lines, l);) {
		if (l.find("Ran Out Of queue Space... FERRY cannot keep up with write .. some records may be lost!!! ") !=
				std::string::npos) {
			EXPECT_NE(l.find("WARNING (relay)"), std::string::npos);
			drops_before_warning.push_back(drops);
		} else if (l.find("Dropping records") != std::string::npos) {
			drops++;
		}
	}
	EXPECT_EQ(drops, 6500);
	// The warning is logged by the drop that finds the count at 3000.
	std::vector<int> expected;
	for (int d = 0; d < 6500; d++) {
		if (count == FERRY_DLOG_DROP_WARN_EVERY) {
			expected.push_back(d);
			count = 1;
		} else {
			count++;
		}
	}
	EXPECT_EQ(drops_before_warning, expected);
	if (ferry_intake_drop_count() == 0) {
		// From a fresh count: the 3001st and the 6001st drop.
		EXPECT_EQ(expected, (std::vector<int>{3000, 6000}));
	}
}

} // namespace
