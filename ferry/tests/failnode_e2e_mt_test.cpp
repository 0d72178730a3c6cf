// Failed-node processing end to end: the daemon (its 5-minute margin
// shortened by the test hook) is told on the pipe that a local node failed,
// and ships that node's logged records to every datacenter on its behalf.
#include "road_e2e_fixture.h"

namespace {

using namespace road_e2e;

constexpr int kDivisor = 100; // a margin of 3 s
constexpr ox_node kFailed = 0xF1;
constexpr ox_node kAlive = 0xB0; // a boot node that ships its own records

// The failed node's records, logged as replicas here, reach both
// datacenters once the failure is reported; the live node's records, logged
// among them, are left to that node.
TEST_F(RoadE2E, AFailedNodesRecordsReachEveryDatacenter)
{
	const uint64_t kRecords = 120, kAliveFirst = 1000, kAliveRecords = 8;
	boot_nodes = {kAlive, kFailed};
	start_world(2);
	fls_preload(fls, "test", 0, kRecords, 100);
	fls_preload(fls, "test", kAliveFirst, kAliveRecords, 100);
	script_lists();
	ferry_msg m;
	for (uint64_t s = 0; s < kRecords; s++) {
		if (s % 15 == 0 && s / 15 < kAliveRecords) {
			fls_make_digest(&m, 1, 1, kAliveFirst + s / 15, kAlive, 0);
			fls_pipe_msg(fls, &m);
		}
		fls_make_digest(&m, 1, 1, s, kFailed, 0);
		fls_pipe_msg(fls, &m);
	}
	// The failed node had shipped nothing of these: its last-ship times lie
	// before the daemon even starts.
	uint64_t lst[DC_MAX_NUM] = {0};
	lst[0] = lst[1] = ox_clock_getabsolute();
	fls_make_failed(&m, kFailed, lst);
	fls_pipe_msg(fls, &m);
	write_conf();
	start_daemon("--noresume", kDivisor);

	for (remote &r : dcs) {
		EXPECT_TRUE(ferry_test_wait_until([&] { return r.got_all(FAKE_REQ_WRITE, 0, kRecords); }))
				<< r.name << " got " << r.writes();
	}
	ASSERT_TRUE(log_has("Performing: Failed node processing in window"));
	ASSERT_TRUE(log_has("Finished: Failed node processing in window"));
	for (remote &r : dcs) {
		fake_record local = fls_sample_record(7, 100), there;
		ASSERT_TRUE(r.has("test", 7, &there)) << r.name;
		ASSERT_EQ(there.bins.size(), 1u);
		EXPECT_EQ(there.bins[0].value, local.bins[0].value);
		EXPECT_EQ(there.set, local.set);
		auto got = r.received(FAKE_REQ_WRITE);
		for (uint64_t s = kAliveFirst; s < kAliveFirst + kAliveRecords; s++) {
			EXPECT_EQ(got.count(digest_of(s)), 0u) << r.name << " got the live node's record " << s;
		}
	}
}

} // namespace
