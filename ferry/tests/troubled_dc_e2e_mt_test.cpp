// One datacenter in trouble beside a healthy one, end to end with the daemon
// (its fixed periods shortened through the test hook): the healthy one gets
// every record, each once, whatever the other does, and the other gets every
// record once it answers again, through its window when it was found down.
// A datacenter that is only slow is never taken for down.
#include "road_e2e_fixture.h"

namespace {

using namespace road_e2e;

// Every fixed period divided by 20: a remote tend every 3 s, a margin of
// 15 s around each window.
constexpr int kDivisor = 20;
constexpr uint64_t kWarm = 50;    // shipped to both before the cases
constexpr uint64_t kBatch = 600;  // fed at once in each case
constexpr int kLateMs = 2000;     // the slow datacenter's delay, within the timeout

const char *const kDown = "Cluster is down! Spawning a thread";
const char *const kUp = "Windowshipper: For node id 0. Changing Cluster State to CLUSTER_UP";

enum trouble { NONE, SILENT, REFUSING, SLOW };

class TroubledDc : public RoadE2E {
protected:
	size_t log_count(const char *text)
	{
		std::string log = ferry_test_read_file(errlog);
		size_t n = 0;
		for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
			n++;
		}
		return n;
	}
	// Requests the node of r has recorded; 0 while it is stopped (a restarted
	// node records afresh).
	size_t requests(remote &r)
	{
		fake_node *n = r.node();
		return n ? fake_node_request_count(n) : 0;
	}
	void start_trouble(remote &r, trouble t)
	{
		switch (t) {
		case SILENT:
			fake_cluster_silence_node(r.fc, 0, true, FAKE_REQ_ANY);
			break;
		case REFUSING:
			fake_cluster_stop_node(r.fc, 0);
			break;
		case SLOW: {
			fake_fault f;
			f.kind = FAKE_FAULT_DELAY;
			f.count = -1;
			f.on = FAKE_REQ_WRITE;
			f.delay_ms = kLateMs;
			fake_node_set_fault(r.node(), f);
			break;
		}
		case NONE:
			break;
		}
	}
	void end_trouble(remote &r, trouble t)
	{
		switch (t) {
		case SILENT:
			fake_cluster_silence_node(r.fc, 0, false, FAKE_REQ_ANY);
			break;
		case REFUSING:
			ASSERT_EQ(0, fake_cluster_restart_node(r.fc, 0));
			break;
		case SLOW:
			fake_node_set_fault(r.node(), fake_fault());
			break;
		case NONE:
			break;
		}
	}
};

TEST_F(TroubledDc, TheHealthyDatacenterGetsEverythingOnceAndTheTroubledOneCatchesUp)
{
	struct Case {
		const char *name;
		trouble t;
		bool found_down; // and so shipped again through its window
	};
	const Case cases[] = {
		{"both healthy", NONE, false},
		{"(a) accepts connections and never answers", SILENT, true},
		{"(b) refuses connections", REFUSING, true},
		{"(c) answers each write 2 s late", SLOW, false},
	};
	const uint64_t n_cases = sizeof(cases) / sizeof(cases[0]);
	start_world(2);
	fls_preload(fls, "test", 0, kWarm + n_cases * kBatch, 100);
	script_lists();
	// Sends and replies give up after 5 seconds, well past the slow
	// datacenter's delay.
	write_conf("    timeout 5000\n");
	start_daemon("--noresume", kDivisor);
	remote &troubled = dcs[0], &healthy = dcs[1];
	fls_pipe_feed(fls, 1, 0, kWarm, 0);
	ASSERT_TRUE(ferry_test_wait_until(
			[&] { return troubled.got_all(FAKE_REQ_WRITE, 0, kWarm) && healthy.got_all(FAKE_REQ_WRITE, 0, kWarm); }));

	double healthy_rate[n_cases] = {};
	for (uint64_t i = 0; i < n_cases; i++) {
		const Case &c = cases[i];
		SCOPED_TRACE(c.name);
		const uint64_t first = kWarm + i * kBatch;
		const size_t healthy_from = requests(healthy);
		size_t troubled_from = requests(troubled);
		const size_t downs = log_count(kDown), ups = log_count(kUp);

		start_trouble(troubled, c.t);
		uint64_t t0 = ox_getms();
		fls_pipe_feed(fls, 1, first, kBatch, 0);
		ASSERT_TRUE(ferry_test_wait_until([&] { return healthy.got_all(FAKE_REQ_WRITE, first, kBatch, healthy_from); }))
				<< "the healthy datacenter got " << healthy.received(FAKE_REQ_WRITE, healthy_from).size() << " of "
				<< kBatch;
		uint64_t took = ox_getms() - t0;
		healthy_rate[i] = (double)kBatch * 1000.0 / (double)(took ? took : 1);

		if (c.found_down) {
			ASSERT_TRUE(ferry_test_wait_until([&] { return log_count(kDown) > downs; }))
					<< "the troubled datacenter was never found down";
			end_trouble(troubled, c.t);
			// What it gets from now on comes through its window.
			troubled_from = requests(troubled);
		} else {
			end_trouble(troubled, c.t);
		}
		ASSERT_TRUE(ferry_test_wait_until([&] { return troubled.got_all(FAKE_REQ_WRITE, first, kBatch, troubled_from); }))
				<< "the troubled datacenter got " << troubled.received(FAKE_REQ_WRITE, troubled_from).size() << " of "
				<< kBatch;
		if (c.found_down) {
			ASSERT_TRUE(ferry_test_wait_until([&] { return log_count(kUp) > ups; }));
		} else {
			EXPECT_EQ(downs, log_count(kDown)) << "a datacenter that answers in time was found down";
		}
		for (uint64_t s = first; s < first + kBatch; s++) {
			ASSERT_TRUE(troubled.has("test", s)) << "record " << s << " lost at the troubled datacenter";
			ASSERT_TRUE(healthy.has("test", s)) << "record " << s << " lost at the healthy datacenter";
		}
		// The healthy datacenter got each record of the case once: nothing
		// of the other's trouble came back to it as a relogged digest.
		auto got = healthy.received(FAKE_REQ_WRITE, healthy_from);
		for (uint64_t s = first; s < first + kBatch; s++) {
			ASSERT_EQ(1u, got[digest_of(s)].size()) << "record " << s << " reached the healthy datacenter "
													 << got[digest_of(s)].size() << " times";
		}
		for (uint64_t s = 0; s < kWarm + n_cases * kBatch; s++) {
			EXPECT_TRUE((s >= first && s < first + kBatch) || !got.count(digest_of(s)))
					<< "record " << s << " of an earlier case reached the healthy datacenter again";
		}
		EXPECT_EQ(kBatch, got.size());
	}
	for (uint64_t i = 1; i < n_cases; i++) {
		printf("healthy datacenter: %.0f records/s with the other %s, %.0f with both healthy (%.2f of it)\n",
				healthy_rate[i], cases[i].name, healthy_rate[0], healthy_rate[i] / healthy_rate[0]);
	}
}

} // namespace
