// A datacenter stopped under a steady feed and started again, end to end with
// the daemon (its fixed periods shortened through the test hook): nothing is
// missing there once it has caught up, and the other datacenter, which kept
// shipping meanwhile, loses nothing and gets each delete once.
#include <set>

#include "road_e2e_fixture.h"

namespace {

using namespace road_e2e;

// Every fixed period divided by 100: a remote tend every 600 ms, a margin
// of 3 seconds around each window.
constexpr int kDivisor = 100;
constexpr uint64_t kFirst = 600;    // fed before the outage
constexpr uint64_t kSecond = 1200;  // fed from then on
constexpr uint64_t kDeleted = 2000; // 50 records fed before, deleted during the outage
constexpr uint64_t kDeletes = 50;
constexpr uint64_t kRate = 200; // records a second

// The record of the i-th digest message of the feed below, or -1 for a
// delete.
int64_t
fed_seq(uint64_t i)
{
	if (i < kFirst) {
		return (int64_t)i;
	}
	i -= kFirst;
	if (i < kDeletes) {
		return (int64_t)(kDeleted + i);
	}
	i -= kDeletes;
	if (i < kSecond / 3) {
		return (int64_t)(kFirst + i);
	}
	i -= kSecond / 3;
	if (i < kDeletes) {
		return -1;
	}
	i -= kDeletes;
	return (int64_t)(kFirst + kSecond / 3 + i);
}

std::set<uint64_t>
seqs_of(remote &r, fake_req_kind kind, std::map<std::string, uint64_t> &by_digest)
{
	std::set<uint64_t> out;
	for (auto &kv : r.received(kind)) {
		auto it = by_digest.find(kv.first);
		if (it != by_digest.end()) {
			out.insert(it->second);
		}
	}
	return out;
}

TEST_F(RoadE2E, ADatacenterStoppedUnderAFeedGetsEverythingItMissed)
{
	start_world(2);
	std::map<std::string, uint64_t> by_digest;
	for (uint64_t s = 0; s < kFirst + kSecond; s++) {
		by_digest[digest_of(s)] = s;
	}
	for (uint64_t s = kDeleted; s < kDeleted + kDeletes; s++) {
		by_digest[digest_of(s)] = s;
	}
	fls_preload(fls, "test", 0, kFirst + kSecond, 100);
	fls_preload(fls, "test", kDeleted, kDeletes, 100);
	script_lists();
	fls_pipe_feed(fls, 1, 0, kFirst, kRate);
	fls_pipe_feed(fls, 1, kDeleted, kDeletes, kRate);
	fls_pipe_feed(fls, 1, kFirst, kSecond / 3, kRate);
	fls_pipe_deletes(fls, "test", 1, kDeleted, kDeletes);
	fls_pipe_feed(fls, 1, kFirst + kSecond / 3, kSecond - kSecond / 3, kRate);
	// Sends to the stopped datacenter give up after 5 seconds, so that it is
	// found down soon; replies slower than that (a loaded machine) are
	// relogged and shipped again.
	write_conf("    timeout 5000\n");
	start_daemon("--noresume", kDivisor);

	remote &gone = dcs[0], &other = dcs[1];
	// DC1 goes away once shipping to it is under way; what it had by then
	// goes with its store, so the test notes it first.
	ASSERT_TRUE(ferry_test_wait_until([&] { return gone.got_all(FAKE_REQ_WRITE, 0, 100); }))
			<< "DC1 got " << gone.received(FAKE_REQ_WRITE).size() << " records, fed " << fls_pipe_fed(fls);
	// Writes are left unanswered first, so nothing it acknowledges after the
	// note is lost with its store: a write it only recorded times out and is
	// shipped again.
	fake_cluster_silence_node(gone.fc, 0, true, FAKE_REQ_WRITE);
	std::set<uint64_t> before = seqs_of(gone, FAKE_REQ_WRITE, by_digest);
	std::set<uint64_t> deletes_before = seqs_of(gone, FAKE_REQ_DELETE, by_digest);
	fake_cluster_stop_node(gone.fc, 0);
	fake_cluster_silence_node(gone.fc, 0, false, FAKE_REQ_WRITE);
	uint64_t fed_at_stop = fls_pipe_fed(fls);
	const uint64_t fed_all = kFirst + kSecond + 2 * kDeletes;

	ASSERT_TRUE(log_has("Windowshipper: For node id 0. Created a new window and put start time in the Ship List"));
	// Down while the feed goes on for 300 more digests at least.
	ASSERT_TRUE(ferry_test_wait_until([&] { return fls_pipe_fed(fls) >= std::min(fed_at_stop + 300, fed_all); }));
	uint64_t fed_at_restart = fls_pipe_fed(fls);
	ASSERT_EQ(0, fake_cluster_restart_node(gone.fc, 0));
	uint64_t restarted = ox_getms();

	// The records of the first `fed` digests of the feed, minus those deleted
	// later, that DC1 has had neither before it went nor since.
	auto missing = [&](uint64_t fed) {
		std::set<uint64_t> now = seqs_of(gone, FAKE_REQ_WRITE, by_digest);
		std::vector<uint64_t> out;
		for (uint64_t i = 0; i < fed; i++) {
			int64_t s = fed_seq(i);
			if (s >= 0 && (uint64_t)s < kFirst + kSecond && !before.count((uint64_t)s) && !now.count((uint64_t)s)) {
				out.push_back((uint64_t)s);
			}
		}
		return out;
	};
	// Caught up: everything written before the restart is there.
	ASSERT_TRUE(ferry_test_wait_until([&] { return missing(fed_at_restart).empty(); }))
			<< missing(fed_at_restart).size() << " records missing at DC1, the first "
			<< (missing(fed_at_restart).empty() ? 0 : missing(fed_at_restart)[0]) << "; DC1 got "
			<< gone.received(FAKE_REQ_WRITE).size() << " since it came back; DC2 has all: "
			<< other.got_all(FAKE_REQ_WRITE, 0, kFirst + kSecond) << " fed at stop " << fed_at_stop << " at restart "
			<< fed_at_restart << " last missing " << (missing(fed_at_restart).empty() ? 0 : missing(fed_at_restart).back())
			<< " before " << before.size();
	uint64_t caught_up_ms = ox_getms() - restarted;
	// And the rest of the feed follows.
	ASSERT_TRUE(ferry_test_wait_until([&] { return fls_pipe_idle(fls) && missing(fed_all).empty(); }))
			<< missing(fed_all).size() << " records missing at DC1, the first "
			<< (missing(fed_all).empty() ? 0 : missing(fed_all)[0])
			<< "; DC2 has all: " << other.got_all(FAKE_REQ_WRITE, 0, kFirst + kSecond);
	ASSERT_TRUE(log_has("Windowshipper: For node id 0. Changing Cluster State to CLUSTER_UP"));

	// The records written while it was down (by their place in the feed), and
	// all it missed (written before the restart, not there when it went; a
	// slow reader leaves more behind than the outage itself), not deleted
	// since, as found there now.
	std::set<uint64_t> after = seqs_of(gone, FAKE_REQ_WRITE, by_digest);
	uint64_t outage_written = 0, outage_found = 0, missed = 0, missed_found = 0;
	for (uint64_t i = 0; i < fed_at_restart; i++) {
		int64_t s = fed_seq(i);
		// Records deleted later may be gone before anyone fetched them.
		if (s < 0 || (uint64_t)s >= kFirst + kSecond) {
			continue;
		}
		if (i >= fed_at_stop) {
			outage_written++;
			outage_found += after.count((uint64_t)s);
		}
		if (!before.count((uint64_t)s)) {
			missed++;
			missed_found += after.count((uint64_t)s);
		}
	}
	printf("outage: %lu records written while DC1 was down, %lu of them found at DC1 after it came back; "
			"%lu records missed in all, %lu found; caught up %lu ms after the restart\n",
			(unsigned long)outage_written, (unsigned long)outage_found, (unsigned long)missed,
			(unsigned long)missed_found, (unsigned long)caught_up_ms);
	EXPECT_EQ(outage_written, outage_found);
	EXPECT_EQ(missed, missed_found);
	EXPECT_GT(missed, 0u);

	// Deletes: DC1 gets each (before it went or by its window), the other
	// datacenter each too, and no delete of a record that still exists.
	std::set<uint64_t> deletes_gone = seqs_of(gone, FAKE_REQ_DELETE, by_digest);
	deletes_gone.insert(deletes_before.begin(), deletes_before.end());
	std::set<uint64_t> deletes_other = seqs_of(other, FAKE_REQ_DELETE, by_digest);
	for (uint64_t s = kDeleted; s < kDeleted + kDeletes; s++) {
		EXPECT_TRUE(deletes_gone.count(s)) << s;
		EXPECT_TRUE(deletes_other.count(s)) << s;
	}
	for (const auto &kv : other.received(FAKE_REQ_DELETE)) {
		auto it = by_digest.find(kv.first);
		ASSERT_TRUE(it != by_digest.end());
		EXPECT_GE(it->second, kDeleted) << "a delete of a record that exists";
	}
	ASSERT_TRUE(ferry_test_wait_until([&] { return other.got_all(FAKE_REQ_WRITE, 0, kFirst + kSecond); }));
	for (uint64_t s = 0; s < kFirst + kSecond; s++) {
		ASSERT_TRUE(other.has("test", s)) << "DC2 lost record " << s;
	}
}

} // namespace
