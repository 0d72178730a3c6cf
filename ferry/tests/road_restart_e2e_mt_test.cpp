// Restarts end to end: what a new daemon ships from the digest log that the
// one before it left.
#include "road_e2e_fixture.h"

namespace {

using namespace road_e2e;

// A restart with --resume ships every digest that reached the digest log,
// after SIGTERM or kill -9; --noresume skips the backlog.
TEST_F(RoadE2E, ResumeAfterAnEndShipsTheWholeLog)
{
	const uint64_t kRecords = 1000;
	for (int sig : {SIGTERM, SIGKILL}) {
		SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "kill -9");
		start_world(1);
		remote &dc = dcs[0];
		fls_preload(fls, "test", 0, kRecords, 60);
		std::vector<logged> recs;
		for (uint64_t seq = 0; seq < kRecords; seq++) {
			recs.push_back({1, seq, 1});
		}
		prefill(recs);
		script_lists();
		write_conf("    relay-read-batch-size 100\n    relay-max-recs-inflight 300\n");
		// Writes reach the remote and wait there for their answers, so the
		// daemon ends with a batch and a full in-flight window unanswered.
		fake_node_hold(dc.node(), FAKE_REQ_WRITE);
		start_daemon("--resume");
		ASSERT_TRUE(ferry_test_wait_until([&] { return dc.writes() >= 300; }));
		stop_daemon(sig);
		fake_node_release(dc.node());
		// The held writes were never answered: each must be sent again.
		size_t mark = fake_node_request_count(dc.node());
		restart_pipe();
		start_daemon("--resume");
		ASSERT_TRUE(ferry_test_wait_until([&] { return dc.written_since(mark, 0, kRecords); }));
		TearDown();
		fls = nullptr;
		dcs.clear();
		SetUp();
	}
}

// --nofailover resumes at the main reader: what it had read but not seen
// answered when the daemon was killed is shipped again.
TEST_F(RoadE2E, NoFailoverRestartShipsTheBatchInProgress)
{
	const uint64_t kRecords = 1000;
	start_world(1);
	remote &dc = dcs[0];
	fls_preload(fls, "test", 0, kRecords + 100, 60);
	std::vector<logged> recs;
	for (uint64_t seq = 0; seq < kRecords; seq++) {
		recs.push_back({1, seq, 1});
	}
	prefill(recs);
	script_lists();
	// Records that arrive on the pipe while shipping waits make the writer
	// persist the reader's position.
	fls_pipe_feed(fls, 1, kRecords, 100, 0);
	write_conf("    relay-read-batch-size 100\n    relay-max-recs-inflight 300\n");
	fake_node_hold(dc.node(), FAKE_REQ_WRITE);
	start_daemon("--resume");
	ASSERT_TRUE(ferry_test_wait_until([&] { return dc.writes() >= 300; }));
	ASSERT_TRUE(ferry_test_wait_until([&] { return persisted_reader_records() >= 300; }))
			<< persisted_reader_records();
	stop_daemon(SIGKILL);
	fake_node_release(dc.node());
	// None of the writes was answered: every record must be sent again.
	size_t mark = fake_node_request_count(dc.node());
	restart_pipe();
	start_daemon("--nofailover");
	ASSERT_TRUE(ferry_test_wait_until([&] { return dc.written_since(mark, 0, kRecords); }))
			<< "persisted reader at " << persisted_reader_records();
}

// --noresume starts at the end of the log: the backlog is never shipped.
TEST_F(RoadE2E, NoResumeSkipsTheBacklog)
{
	start_world(1);
	remote &dc = dcs[0];
	fls_preload(fls, "test", 0, 300, 40);
	std::vector<logged> recs;
	for (uint64_t seq = 0; seq < 200; seq++) {
		recs.push_back({1, seq, 1});
	}
	prefill(recs);
	script_lists();
	fls_pipe_feed(fls, 1, 200, 100, 0);
	write_conf();
	start_daemon("--noresume");
	ASSERT_TRUE(ferry_test_wait_until([&] { return dc.writes() >= 100 && dc.has("test", 299); }));
	auto got = dc.received(FAKE_REQ_WRITE);
	size_t backlog = 0;
	for (uint64_t seq = 0; seq < 200; seq++) {
		backlog += got.count(digest_of(seq));
	}
	EXPECT_EQ(backlog, 0u);
}

} // namespace
