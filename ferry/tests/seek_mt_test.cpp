// The time seek while the writer overwrites the oldest records of a small
// digest log as fast as it can: every seek ends (its restarts from the oldest
// record are bounded), says why when it gives no context, never claims that
// nothing is newer than a record already written, and a context it gives
// reads records of the log.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../src/ferry_seek.h"
#include "ferry_fixture.h"
#include "tamberlin/ferry.h"
#include "tamberlin/rbuffer.h"

namespace {

constexpr uint64_t kT0 = 1700000000000ULL;

TEST(SeekWhileOverwritten, EndsAndSaysWhy)
{
	counters cntr;
	memset(&cntr, 0, sizeof(cntr));
	g_ferry_cntr = &cntr;
	// Seven segments: the writer gives up the oldest five at a time.
	std::string path = ferry_test_path("seekmt");
	g_rbuf_des = ferry_test_open_dlog_at(path, RBUFFER_FILE_HEADER_SIZE + 7 * RBUFFER_SEG_SIZE, true);
	ASSERT_NE(g_rbuf_des, nullptr);

	// Record i has time kT0 + i; `written` is the count on disk.
	std::atomic<uint64_t> written{0};
	std::atomic<bool> stop{false};
	const uint64_t total = 2000000;
	std::thread writer([&] {
		ferry_msg_ondisk recs[100];
		for (uint64_t i = 0; i < total && !stop.load(); i += 100) {
			for (int k = 0; k < 100; k++) {
				memset(&recs[k], 0, sizeof(recs[k]));
				recs[k].xm_type = FERRY_MSG_TYPE_DIGESTINFO;
				recs[k].diginfo.digesttime = kT0 + i + (uint64_t)k;
			}
			if (ox_rbuffer_write(g_rbuf_des, (const char *)recs, 100) != 100) {
				ADD_FAILURE() << "write at " << i;
				break;
			}
			written.store(i + 100);
		}
		stop.store(true);
	});
	ASSERT_TRUE(ferry_test_wait_until([&] { return written.load() >= 1000 || stop.load(); }));

	// Behind the newest by nothing, by part of a segment, and by about as
	// much as the log keeps, where the records go while they are sought.
	const uint64_t behind[] = {1, 50, 350, 600, 700, 1000};
	int seeks = 0, found = 0;
	for (int round = 0; round < 200 && !stop.load(); round++) {
		for (uint64_t back : behind) {
			uint64_t n = written.load();
			uint64_t t = kT0 + (n > back ? n - back : 0);
			ferry_msg_ondisk m;
			memset(&m, 0, sizeof(m));
			int reason = -1;
			ox_rbuffer_ctx *ctx = ferry_digestlog_seektime(t, &m, &reason);
			seeks++;
			if (!ctx) {
				// The newest record can be overwritten under the search
				// only as a read failure, never as nothing newer.
				EXPECT_EQ(reason, FERRY_SEEK_READ_FAILED) << "time " << t;
				continue;
			}
			EXPECT_EQ(reason, FERRY_SEEK_FOUND);
			found++;
			int rv = ox_rbuffer_read(g_rbuf_des, ctx, (char *)&m, 1);
			EXPECT_TRUE(rv == 1 || rv == RBUFFER_SEG_VERSION_MISMATCH || rv == RBUFFER_READ_HITS_WRITE) << rv;
			if (rv == 1) {
				EXPECT_GE(m.diginfo.digesttime, kT0);
				EXPECT_LT(m.diginfo.digesttime, kT0 + total);
			}
			ox_rbuffer_closectx(ctx);
		}
	}
	stop.store(true);
	writer.join();
	EXPECT_GT(found, 0) << seeks << " seeks";

	ox_rbuffer_close(g_rbuf_des);
	g_rbuf_des = nullptr;
	g_ferry_cntr = nullptr;
	unlink(path.c_str());
}

} // namespace
