// The pipe reader thread as start-up runs it: it makes the queue and the
// writer, waits for the local server, asks it to feed the pipe, reads what
// comes; when the pipe stays empty for ten reads it reopens it and asks for
// the feed again.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <pthread.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <vector>

#include "../src/ferry_local.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/rbuffer.h"
#include "testkit/fake_local_server.h"

namespace {

TEST(ReadNamedPipe, FeedsReopensAndFeedsAgain)
{
	g_ferry_time_divisor.store(50);
	ferry_test_reset_config();
	static counters cnt;
	static thread_data td = {&cnt, nullptr, nullptr};
	g_ferry_cntr = &cnt;
	std::string pipe = ferry_test_path("rnp_fifo");
	g_xcfg.ferry_digestpipe_path = ox_strdup(pipe.c_str());
	g_ns_count = 1;
	g_ns_xcfg_opt[1].ns_name = ox_strdup("test");
	g_dc_count = 1;
	g_rbuf_des = ferry_test_open_dlog("rnp", 2 << 20, true);
	ASSERT_NE(g_rbuf_des, nullptr);
	fake_local_server *s = fls_start(pipe.c_str(), 0);
	ASSERT_NE(s, nullptr);
	ferry_test_local_addr(fls_port(s));

	ferry_msg m;
	fls_make_ns(&m, 1, "test");
	fls_pipe_msg(s, &m);
	fls_make_ns(&m, -1, nullptr);
	fls_pipe_msg(s, &m);
	fls_make_boot(&m, 0);
	fls_pipe_msg(s, &m);
	fls_pipe_flood(s, 1, 0, 100);
	fls_pipe_close(s);

	pthread_t tid;
	ASSERT_EQ(pthread_create(&tid, nullptr, read_namedpipe, &td), 0);
	pthread_detach(tid); // it never returns, as in the daemon

	EXPECT_TRUE(ferry_test_wait_counter(&cnt.dlog_pkts_logged, 100, 20000));
	EXPECT_TRUE(g_isnamedpipe_open.load());
	EXPECT_TRUE(g_ns_sync_complete.load());
	// Ten empty reads after the close: the server is asked to feed again.
	EXPECT_TRUE(ferry_test_wait_until([s] { return fls_requests(s, FERRY_INFO_FEED_REQUEST) == 2; }, 20000));
	EXPECT_GE(fls_requests(s, FERRY_INFO_BUILD_REQUEST), 2);
	fls_pipe_flood(s, 1, 100, 50);
	EXPECT_TRUE(ferry_test_wait_counter(&cnt.dlog_pkts_logged, 150, 20000));
	std::vector<ferry_msg_ondisk> recs(150);
	ASSERT_EQ(ferry_test_read_dlog(g_rbuf_des, (char *)recs.data(), 150), 150);
	for (int i = 0; i < 150; i++) {
		uint8_t d[20];
		fls_digest_of((uint64_t)i, d);
		ASSERT_EQ(memcmp(recs[(size_t)i].diginfo.digest, d, 20), 0) << i;
	}
	EXPECT_EQ(ox_atomic64_get(&cnt.dlog_pkts_dropped), 0u);
	// The stand-in stays up: the pipe reader keeps running until the process ends.
}

} // namespace
