// The front half end to end: the stand-in local server feeds the namespace
// and boot-node lists and 10,000 digests through the named pipe; the pipe
// reader and the writer thread put them into the digest log, which then holds
// exactly those records, in order, stamped on receipt.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "testkit/fake_local_server.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"

namespace {

TEST(IntakeEndToEnd, TenThousandDigestsReachTheLogInOrder)
{
	const int kDigests = 10000;
	g_ferry_time_divisor.store(20);
	ferry_test_reset_config();
	static counters cnt;
	g_ferry_cntr = &cnt;
	std::string pipe = ferry_test_path("e2e_fifo");
	g_xcfg.ferry_digestpipe_path = ox_strdup(pipe.c_str());
	g_ns_count = 2;
	g_ns_xcfg_opt[1].ns_name = ox_strdup("test");
	g_ns_xcfg_opt[2].ns_name = ox_strdup("bar");
	g_dc_count = 1;
	g_rbuf_des = ferry_test_open_dlog("e2e", 8 << 20, true);
	ASSERT_NE(g_rbuf_des, nullptr);

	fake_local_server *s = fls_start(pipe.c_str(), 0);
	ASSERT_NE(s, nullptr);
	ferry_msg m;
	fls_make_ns(&m, 1, "test");
	fls_pipe_msg(s, &m);
	fls_make_ns(&m, 2, "bar");
	fls_pipe_msg(s, &m);
	fls_make_ns(&m, -1, nullptr);
	fls_pipe_msg(s, &m);
	fls_make_boot(&m, 0x11);
	fls_pipe_msg(s, &m);
	fls_make_boot(&m, 0);
	fls_pipe_msg(s, &m);
	fls_pipe_flood(s, 1, 0, kDigests);

	uint64_t start = ox_clock_getabsolute();
	ferry_intake_start(); // the queue and the writer thread
	fls_start_feed(s);
	ferry_namedpipe_open();
	std::thread reader([] { ferry_namedpipe_read_loop(nullptr); });

	EXPECT_TRUE(ferry_test_wait_counter(&cnt.dlog_pkts_logged, kDigests, 60000));
	EXPECT_TRUE(g_ns_sync_complete.load());
	EXPECT_TRUE(g_bootnode_sync_complete.load());
	EXPECT_TRUE(ferry_ns_known(1));
	EXPECT_TRUE(ferry_ns_known(2));
	EXPECT_EQ(g_bootnodecount, 1);

	std::vector<ferry_msg_ondisk> recs(kDigests + 1);
	ASSERT_EQ(ferry_test_read_dlog(g_rbuf_des, (char *)recs.data(), kDigests), kDigests);
	uint64_t prev_time = start;
	for (int i = 0; i < kDigests; i++) {
		const ferry_msg_ondisk &r = recs[(size_t)i];
		uint8_t d[20];
		fls_digest_of((uint64_t)i, d);
		ASSERT_EQ(memcmp(r.diginfo.digest, d, 20), 0) << i;
		ASSERT_EQ(r.xm_type, FERRY_MSG_TYPE_DIGESTINFO);
		ASSERT_EQ(r.diginfo.ns_id, 1);
		ASSERT_GE(r.diginfo.digesttime, prev_time) << i;
		prev_time = r.diginfo.digesttime;
	}
	EXPECT_LE(prev_time, ox_clock_getabsolute());
	EXPECT_EQ(g_last_logwrite_time.load(), prev_time);
	// Nothing more than those records.
	EXPECT_EQ(ox_rbuffer_read(g_rbuf_des, nullptr, (char *)recs.data(), 1), 0);
	EXPECT_EQ(ox_atomic64_get(&cnt.pipe_reads_diginfo), (uint64_t)kDigests);
	EXPECT_EQ(ox_atomic64_get(&cnt.dlog_pkts_unlogged), 0u);
	EXPECT_EQ(ox_atomic64_get(&cnt.dlog_pkts_dropped), 0u);

	// The stand-in closes the pipe: ten empty reads later the loop asks for a
	// reopen.
	fls_pipe_close(s);
	reader.join();
	EXPECT_EQ(g_xcfg.ferry_digestpipe_fd, -1);
	fls_stop(s);
	unlink(pipe.c_str());
}

} // namespace
