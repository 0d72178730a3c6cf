// Dispatch of pipe messages: namespace lists set up slot tables (and refuse
// numbers or names the configuration does not have), digests are stamped and
// queued up to the queue limit, boot-node and failed-node reports fill their
// bounded tables with saturated start times.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>

#include "testkit/fake_local_server.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ox_clock.h"

namespace {

counters g_test_counters;

class Intake : public ::testing::Test {
protected:
	void SetUp() override
	{
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
		memset(g_failednodeinfo, 0, sizeof(g_failednodeinfo));
		g_maxfailedever = 0;
	}
	void TearDown() override
	{
		for (int i = 0; i < NAMESPACE_MAX_NUM; i++) {
			ferry_ns_bucket_free(i);
		}
		ferry_test_reset_config();
	}
	static void dispatch(ferry_msg *m) { ferry_namedpipe_dispatch(m, nullptr); }
};

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
