// The digest-log reader on the whole road, in-process: records in a digest
// log, the reader's passes on the test's thread (or on one of its own that
// the test waits for), the records fetched from a one-node stand-in local
// cluster through the real client, and the writes and deletes that a
// two-node stand-in datacenter receives.
#include <algorithm>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "../src/ferry_dlogreader.h"
#include "../src/ferry_fetch.h"
#include "../src/ferry_local.h"
#include "../src/ferry_ship.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry_info.h"
#include "tamberlin/ka_async.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_lookup.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/ox_shash.h"
#include "tamberlin/proto.h"
#include "tamberlin/rbuffer.h"
#include "testkit/fake_cluster.h"
#include "testkit/fake_local_server.h"
#include "testkit/numeric_resolver.h"

namespace {


constexpr uint64_t kT0 = 1700000000000ULL; // digest times of the test's records
constexpr int kBatch = 100;
constexpr int kParts = 3;

std::string
digest_of(int n)
{
	uint8_t d[20];
	memset(d, 0, sizeof(d));
	d[0] = (uint8_t)(n * 37);
	d[1] = (uint8_t)((n >> 3) & 0x0F);
	memcpy(d + 4, &n, sizeof(n));
	d[19] = 0xC3;
	return std::string((const char *)d, 20);
}

ferry_msg_ondisk
rec(int n, uint32_t gen, int32_t nsid = 1, ox_node master = 0, uint64_t time = 0, bool del = false)
{
	return ferry_test_digestinfo(nsid, (const uint8_t *)digest_of(n).data(), gen, time ? time : kT0 + 10 * (uint64_t)n,
			master, del ? RELAY_DELETE_FLAG : 0);
}

uint32_t
be(const uint8_t *p, int len)
{
	uint32_t v = 0;
	for (int i = 0; i < len; i++) {
		v = v << 8 | p[i];
	}
	return v;
}

// One write or delete as a datacenter node received it.
struct shipped {
	std::string digest;
	uint32_t generation;
	bool is_delete;
};

bool
parse_shipped(const std::string &m, shipped *out)
{
	const auto *b = (const uint8_t *)m.data();
	if (m.size() < 30) {
		return false;
	}
	out->is_delete = (b[10] & KA_MSG_INFO2_DELETE) != 0;
	out->generation = be(b + 14, 4);
	uint32_t fields = be(b + 26, 2);
	size_t p = 30;
	for (uint32_t i = 0; i < fields; i++) {
		if (m.size() - p < 5) {
			return false;
		}
		size_t sz = be(b + p, 4);
		if (sz < 1 || sz > m.size() - p - 4) {
			return false;
		}
		if (b[p + 4] == KA_MSG_FIELD_TYPE_DIGEST_RIPE && sz == 21) {
			out->digest = m.substr(p + 5, 20);
			return true;
		}
		p += 4 + sz;
	}
	return false;
}

class Road : public ::testing::Test {
protected:
	void SetUp() override
	{
		g_ferry_time_divisor.store(1000); // a 1-second retry lasts 1 ms
		g_ka_resolver = testkit_numeric_resolver;
		ferry_test_reset_intake(&cntr);
		for (int i = 0; i < NAMESPACE_MAX_NUM; i++) {
			ferry_ns_bucket_free(i);
		}

		fake_cluster_cfg lc;
		lc.n_nodes = 1;
		local = fake_cluster_create(lc);
		ASSERT_NE(local, nullptr);
		fake_cluster_cfg rc;
		rc.n_nodes = 2;
		remote = fake_cluster_create(rc);
		ASSERT_NE(remote, nullptr);

		std::string conf = "namespace test {\n    enable-relay true\n    relay-remote-datacenter DC1\n}\n"
						   "relay {\n    enable-relay true\n    namedpipe-path /tmp/unused.pipe\n"
						   "    digestlog-path /tmp/unused.dlog 1M\n    local-node-port 3000\n"
						   "    datacenter DC1 {\n        dc-node-address-port 127.0.0.1 " +
				std::to_string(fake_cluster_port(remote, 0)) + "\n    }\n}\n";
		conf_path = ferry_test_write_file("readerconf", conf);
		read_configfile_ferrysection(&g_xcfg, conf_path.c_str());
		ASSERT_EQ(g_dc_count, 1);
		ASSERT_STREQ(g_ns_xcfg_opt[1].ns_name, "test");
		g_ns_xcfg_opt[1].ns_dc_ids[0] = 0; // what the configuration's checks find
		g_xcfg.ferry_read_batch_size = kBatch;
		g_xcfg.ferry_new_cfg.ferry_read_batch_size = kBatch;
		g_xcfg.ferry_read_threads = kParts;
		g_xcfg.ferry_new_cfg.ferry_read_threads = kParts;
		g_xcfg.ferry_timeout = 5000;
		g_xcfg.ferry_fwd_with_gencheck = true; // writes carry the generation they ship

		ASSERT_EQ(tamberlin_init(), 0);
		ASSERT_EQ(tamberlin_async_init(1000, 2, ferry_sendfail_cb_fn, ferry_sendsuccess_cb_fn), 0);
		local_asc = connect(local, 1);
		ASSERT_NE(local_asc, nullptr);
		remote_asc = connect(remote, 2);
		ASSERT_NE(remote_asc, nullptr);
		g_local_cluster = local_asc;
		mcfg.asc = local_asc;
		mcfg.cluster_health = CLUSTER_UP;
		g_rcfg[0].asc = remote_asc;
		g_rcfg[0].cluster_health = CLUSTER_UP;
		g_rcfg[0].cntr = &cntr;
		g_rcfg[0].infinite_ttl_value = HIVED_INFINITE_TTL_VALUE;
		g_rcfg[0].dc_inuse = true;
		td.cntr = &cntr;
		td.mcfg = &mcfg;
		td.rcfg = g_rcfg;

		dlog_path = ferry_test_path("readerlog");
		g_rbuf_des = ferry_test_open_dlog_at(dlog_path, 1 << 20, true);
		ASSERT_NE(g_rbuf_des, nullptr);
		ASSERT_EQ(ferry_ns_bucket_setup(1, "test", kBatch), 0);
		memset(g_lastshiptime, 0, sizeof(g_lastshiptime));
		g_boottime = kT0 + 1000000;
		g_failover = true;
		g_bootnodecount = 0;
		g_ns_sync_complete.store(true);
		g_bootnode_sync_complete.store(true);
		ferry_dlogreader_init(&r, &td);
		ASSERT_EQ(r.parts, kParts);
	}

	void TearDown() override
	{
		stop_workers();
		ox_free(r.buf);
		r.buf = nullptr;
		tamberlin_shutdown();
		g_local_cluster = nullptr;
		if (local) {
			fake_cluster_destroy(local);
		}
		if (remote) {
			fake_cluster_destroy(remote);
		}
		if (g_rbuf_des) {
			ox_rbuffer_close(g_rbuf_des);
			g_rbuf_des = nullptr;
		}
		unlink(dlog_path.c_str());
		unlink(conf_path.c_str());
		for (int i = 0; i < NAMESPACE_MAX_NUM; i++) {
			ferry_ns_bucket_free(i);
		}
		memset(g_lastshiptime, 0, sizeof(g_lastshiptime));
		g_bootnodecount = 0;
		g_failover = true;
		ferry_test_reset_config();
		g_ferry_cntr = nullptr;
		g_ka_resolver = gethostbyname2_r;
		g_ferry_time_divisor.store(1);
	}

	// A client cluster over a stand-in, once it knows all its nodes.
	static ka_cluster *connect(fake_cluster *fc, int nodes)
	{
		ka_cluster *asc = tamberlin_cluster_create();
		if (!asc || tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000) != 0) {
			return nullptr;
		}
		if (!ferry_test_wait_until([&] { return tamberlin_cluster_get_nodecount(asc) >= nodes; }, 30000)) {
			return nullptr;
		}
		return asc;
	}

	// The record-fetch workers end once the count asked for is below theirs,
	// after serving one more request each: requests of no namespace.
	void stop_workers()
	{
		__atomic_store_n(&g_xcfg.ferry_new_cfg.ferry_read_threads, 0, __ATOMIC_RELAXED);
		static callback_data none;
		none.nsid = 0;
		none.cntr = &cntr;
		// A request each poll, so that every worker waiting in its pop serves one.
		EXPECT_TRUE(ferry_test_wait_until([&] {
			batch_get_req req;
			memset(&req, 0, sizeof(req));
			req.cbdata = &none;
			ox_queue_push(g_batch_get_q, &req);
			return g_batch_thread_count.load() == 0;
		}, 30000));
		ox_queue_delete_all(g_batch_get_q);
		ox_queue_delete_all(g_batch_get_response_q);
	}

	// The local cluster's record of digest n, at generation gen.
	void put_local(int n, uint32_t gen)
	{
		fake_record fr;
		fr.set = "s1";
		fr.generation = gen;
		fr.bins = {{"b", 1, std::string(7, '\0') + (char)n}};
		fake_node_put_record(fake_cluster_node(local, 0), "test", (const uint8_t *)digest_of(n).data(), fr);
	}

	void log(const std::vector<ferry_msg_ondisk> &recs)
	{
		ASSERT_EQ(ox_rbuffer_write(g_rbuf_des, (const char *)recs.data(), (int)recs.size()), (int)recs.size());
		ASSERT_TRUE(ox_rbuffer_fflush(g_rbuf_des));
		ox_atomic64_add(&cntr.dlog_pkts_logged, (int64_t)recs.size());
	}

	// Digests 0 to n - 1 stored locally and logged, all at generation gen.
	void put_and_log(int n, uint32_t gen)
	{
		std::vector<ferry_msg_ondisk> recs;
		for (int i = 0; i < n; i++) {
			put_local(i, gen);
			recs.push_back(rec(i, gen));
		}
		log(recs);
	}

	// Every write and delete the datacenter's nodes received.
	std::vector<shipped> received()
	{
		std::vector<shipped> out;
		for (int i = 0; i < 2; i++) {
			fake_node *n = fake_cluster_node(remote, i);
			for (size_t j = 0; j < fake_node_request_count(n); j++) {
				fake_request rq;
				shipped s;
				if (fake_node_request(n, j, &rq) && (rq.kind == FAKE_REQ_WRITE || rq.kind == FAKE_REQ_DELETE) &&
						parse_shipped(rq.message, &s)) {
					out.push_back(s);
				}
			}
		}
		return out;
	}

	// Waits until the datacenter has received want writes and deletes and
	// every reply has been called back; what it received, by digest.
	std::map<std::string, std::vector<shipped>> wait_received(size_t want)
	{
		ferry_test_wait_until([&] { return received().size() >= want; }, 30000);
		EXPECT_TRUE(ferry_test_wait_until([] {
			uint64_t retries, dropouts;
			int inflight = 1;
			tamberlin_async_getstats(&retries, &dropouts, &inflight);
			return inflight == 0;
		}, 30000)) << "replies still awaited";
		std::map<std::string, std::vector<shipped>> by;
		for (auto &s : received()) {
			by[s.digest].push_back(s);
		}
		return by;
	}

	// The digests of each batch request the local node received, in order.
	std::vector<std::vector<std::string>> batch_requests()
	{
		std::vector<std::vector<std::string>> out;
		fake_node *ln = fake_cluster_node(local, 0);
		for (size_t j = 0; j < fake_node_request_count(ln); j++) {
			fake_request rq;
			if (!fake_node_request(ln, j, &rq) || rq.kind != FAKE_REQ_BATCH || rq.message.size() < 30) {
				continue;
			}
			const std::string &m = rq.message;
			const auto *b = (const uint8_t *)m.data();
			std::vector<std::string> ds;
			size_t p = 30;
			for (uint32_t i = 0, fields = be(b + 26, 2); i < fields && m.size() - p >= 5; i++) {
				size_t sz = be(b + p, 4);
				if (sz < 1 || sz > m.size() - p - 4) {
					break;
				}
				if (b[p + 4] == KA_MSG_FIELD_TYPE_DIGEST_RIPE_ARRAY) {
					for (size_t d = 0; d + 20 <= sz - 1; d += 20) {
						ds.push_back(m.substr(p + 5 + d, 20));
					}
				}
				p += 4 + sz;
			}
			out.push_back(ds);
		}
		return out;
	}

	// Passes until the reader has read want records (each pass reads what is
	// due); false when they do not come.
	bool read_all(uint64_t want)
	{
		for (int i = 0; i < 1000 && r.total_read < want; i++) {
			r.last_read_ms = 0; // a second has passed since the last read
			ferry_dlogreader_pass(&r);
		}
		return r.total_read == want;
	}

	counters cntr;
	cluster_cfg mcfg{};
	thread_data td{};
	ferry_dlogreader r{};
	fake_cluster *local = nullptr;
	fake_cluster *remote = nullptr;
	ka_cluster *local_asc = nullptr;
	ka_cluster *remote_asc = nullptr;
	std::string conf_path, dlog_path;
};

TEST_F(Road, EveryRecordArrivesOnceThroughTheWorkers)
{
	const int n = 250;
	put_and_log(n, 4);
	// 250 of a batch of 100: one pass reads batch after batch, each of 100
	// slots split over the three workers.
	r.last_read_ms = 0;
	EXPECT_EQ(ferry_dlogreader_pass(&r), (uint64_t)n);
	auto by = wait_received(n);
	ASSERT_EQ(by.size(), (size_t)n);
	for (int i = 0; i < n; i++) {
		auto &v = by[digest_of(i)];
		ASSERT_EQ(v.size(), 1u) << i;
		EXPECT_EQ(v[0].generation, 4u);
		EXPECT_FALSE(v[0].is_delete);
	}
	EXPECT_EQ(cntr.dlog_pkts_processed, (uint64_t)n);
	EXPECT_EQ(cntr.dlog_pkts_really_processed, (uint64_t)n);
	EXPECT_EQ(cntr.per_dc_counters[0].record_ship_attempts, (uint64_t)n);
	EXPECT_EQ(cntr.local_recs_notfound, 0u);
	// Moved to the time of a shipped digest (the callbacks run in any order).
	EXPECT_GE(g_lastshiptime[0].lst_main, kT0);
	EXPECT_LE(g_lastshiptime[0].lst_main, kT0 + 10 * (n - 1));
	EXPECT_EQ(ferry_dlogreader_batch_floor(), FERRY_LST_NONE);
	// The reader's batch read covers a namespace of up to P slots by itself;
	// larger ones go to the workers in P parts.
	EXPECT_EQ(cntr.num_batch_calls, 3u * kParts);
}

TEST_F(Road, RepeatedDigestShipsOnceWithTheLatestGeneration)
{
	put_local(1, 9);
	put_local(2, 3);
	// Digest 1 logged at generations 7, 8 and 9 in one batch, digest 2 once.
	log({rec(1, 7), rec(2, 3), rec(1, 8), rec(1, 9)});
	ASSERT_TRUE(read_all(4));
	auto by = wait_received(2);
	ASSERT_EQ(by.size(), 2u);
	ASSERT_EQ(by[digest_of(1)].size(), 1u);
	EXPECT_EQ(by[digest_of(1)][0].generation, 9u);
	ASSERT_EQ(by[digest_of(2)].size(), 1u);
	EXPECT_EQ(cntr.dlog_pkts_processed, 4u);
	EXPECT_EQ(cntr.dlog_pkts_really_processed, 2u);
	EXPECT_EQ(cntr.remote_ship_skipped_genmismatch, 0u);
}

// Records of the batch that the batch reads do not bring back are read one at
// a time: those gone count as not found at once and nothing is left in the
// map, whatever the process-wide fetch counter says. A retry asks only for the
// digests still missing.
TEST_F(Road, RecordsTheBatchReadMissesAreReadSingly)
{
	std::vector<ferry_msg_ondisk> recs;
	for (int i = 0; i < 10; i++) {
		if (i != 3 && i != 7) {
			put_local(i, 1);
		}
		recs.push_back(rec(i, 1));
	}
	g_xcfg.ferry_batch_num_retry = 0;
	log(recs);
	ASSERT_TRUE(read_all(10));
	auto by = wait_received(8);
	EXPECT_EQ(by.size(), 8u);
	EXPECT_EQ(shash_get_size(g_ns_dbuckets[1].digest_to_idx_hash), 0u);
	EXPECT_EQ(cntr.local_recs_notfound, 2u);
	EXPECT_EQ(cntr.num_single_get_calls, 2u);
	EXPECT_EQ(cntr.local_recs_migration_retry, 0u);

	// One retry: the second batch read asks for the two missing digests
	// only, in slot order; then each is read singly.
	g_xcfg.ferry_batch_num_retry = 1;
	size_t batches = batch_requests().size();
	put_local(20, 1);
	log({rec(3, 1), rec(20, 1), rec(7, 1)});
	ASSERT_TRUE(read_all(13));
	std::vector<std::vector<std::string>> rq = batch_requests();
	ASSERT_EQ(rq.size(), batches + 2);
	EXPECT_EQ(rq[batches].size(), 3u);
	EXPECT_EQ(rq.back(), (std::vector<std::string>{digest_of(3), digest_of(7)}));
	EXPECT_EQ(cntr.local_recs_notfound, 4u);
	EXPECT_EQ(cntr.local_recs_fetched, 9u); // nothing handled was fetched again
	EXPECT_EQ(cntr.local_recs_migration_retry, 1u); // the short attempt's one record
	by = wait_received(9);
	EXPECT_EQ(by[digest_of(20)].size(), 1u);

	// A record the reads did not find is shipped once its digest is logged
	// again.
	put_local(3, 2);
	log({rec(3, 2)});
	ASSERT_TRUE(read_all(14));
	by = wait_received(10);
	EXPECT_EQ(by[digest_of(3)].size(), 1u);
	EXPECT_EQ(by[digest_of(7)].size(), 0u);
	EXPECT_EQ(shash_get_size(g_ns_dbuckets[1].digest_to_idx_hash), 0u);
}

// A reply that carries one record twice makes as many callbacks as the batch
// has slots while a digest is still missing: the fetch is not complete, and
// the retry asks for that digest alone.
TEST_F(Road, RepeatedRecordInAReplyDoesNotCompleteTheFetch)
{
	put_local(1, 1);
	put_local(2, 1);
	fake_node *ln = fake_cluster_node(local, 0);
	fake_fault f;
	f.kind = FAKE_FAULT_BATCH_EXTRA_RECORD;
	f.on = FAKE_REQ_BATCH;
	f.batch_record = 1; // digest 2, in the order asked
	f.count = 1;
	fake_node_set_fault(ln, f);
	g_xcfg.ferry_batch_num_retry = 1;
	log({rec(1, 1), rec(2, 1), rec(3, 1)});
	ASSERT_TRUE(read_all(3));
	std::vector<std::vector<std::string>> rq = batch_requests();
	ASSERT_EQ(rq.size(), 2u);
	EXPECT_EQ(rq[1], std::vector<std::string>{digest_of(3)});
	EXPECT_EQ(cntr.local_recs_fetched, 3u);
	EXPECT_EQ(cntr.local_recs_migration_retry, 2u); // the short attempt's two records
	auto by = wait_received(2);
	EXPECT_EQ(by[digest_of(1)].size(), 1u);
	EXPECT_EQ(by[digest_of(2)].size(), 1u);
	EXPECT_EQ(cntr.local_recs_notfound, 1u);
	EXPECT_EQ(shash_get_size(g_ns_dbuckets[1].digest_to_idx_hash), 0u);
}

// A record that the batch read cannot hand on costs its digest alone, and
// not even that: the rest of its batch ships, a set name as long as a single
// read takes ships, a record without a digest ships through a single read,
// and a record that no read can decode goes back through the digest log. The
// reader never retries the namespace for it.
TEST_F(Road, ARecordTheBatchReadRefusesCostsOnlyItsDigest)
{
	struct {
		const char *what;
		int slots; // above the part count: fetched by the workers
		size_t set_len;
		bool unknown_bin;
		fake_fault_kind fault;
		bool shipped;
	} cases[] = {
		{"set name of 31 bytes", 10, 31, false, FAKE_FAULT_NONE, true},
		{"set name of 32 bytes", 10, 32, false, FAKE_FAULT_NONE, true},
		{"set name of 40 bytes", 10, 40, false, FAKE_FAULT_NONE, true},
		{"set name of 40 bytes, fetched by the reader", 2, 40, false, FAKE_FAULT_NONE, true},
		{"set name of 1023 bytes", 10, 1023, false, FAKE_FAULT_NONE, true},
		{"record without a digest", 10, 2, false, FAKE_FAULT_BATCH_NO_DIGEST, true},
		{"a bin of an unknown type", 10, 2, true, FAKE_FAULT_NONE, false},
		{"a bin of an unknown type, fetched by the reader", 2, 2, true, FAKE_FAULT_NONE, false},
	};
	g_xcfg.ferry_batch_num_retry = 0;
	fake_node *ln = fake_cluster_node(local, 0);
	int first = 0;
	uint64_t read = 0, shipped = 0, relogged = 0;
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		const int bad = first + 1; // second in its part
		std::vector<ferry_msg_ondisk> recs;
		for (int i = first; i < first + c.slots; i++) {
			put_local(i, 1);
			recs.push_back(rec(i, 1));
		}
		fake_record fr;
		fr.set = std::string(c.set_len, 'q');
		fr.generation = 1;
		fr.bins = {{"b", 1, std::string(8, '\1')}};
		if (c.unknown_bin) {
			fr.bins.push_back({"bad", 99, "xyz"});
		}
		fake_node_put_record(ln, "test", (const uint8_t *)digest_of(bad).data(), fr);
		fake_fault f;
		f.kind = c.fault;
		f.on = FAKE_REQ_BATCH;
		f.digest = digest_of(bad); // the part that asks for it
		f.batch_record = 1;
		fake_node_set_fault(ln, f);
		log(recs);
		read += (uint64_t)c.slots;
		ASSERT_TRUE(read_all(read));
		shipped += (uint64_t)c.slots - (c.shipped ? 0 : 1);
		relogged += c.shipped ? 0 : 1;
		auto by = wait_received(shipped);
		for (int i = first; i < first + c.slots; i++) {
			EXPECT_EQ(by[digest_of(i)].size(), i == bad && !c.shipped ? 0u : 1u) << i;
		}
		EXPECT_EQ(cntr.dlog_pkts_relogged, relogged);
		EXPECT_EQ(cntr.local_recs_notfound, 0u);
		EXPECT_EQ(shash_get_size(g_ns_dbuckets[1].digest_to_idx_hash), 0u);
		fake_node_set_fault(ln, fake_fault{});
		first += c.slots;
	}
}

// A digest logged more than once in a batch is fetched against the newest
// generation logged, whatever order its entries come in: a relog carries the
// generation that was shipped (or 0 after a failed read) and can follow the
// entry of a newer write.
TEST_F(Road, RepeatedDigestIsFetchedAgainstItsNewestGeneration)
{
	struct {
		const char *what;
		std::vector<uint32_t> logged;
		bool deleted_after_first;
		uint32_t record;
		bool shipped;
		uint32_t sent_gen; // the generation the write checks against (0: sent without the check)
	} cases[] = {
		{"7, 8, 9, the record at 9", {7, 8, 9}, false, 9, true, 9},
		{"6, then the relog of the 4 shipped before, the record at 6", {6, 4}, false, 6, true, 6},
		{"6, then a relog of 0 after a failed read, the record at 6", {6, 0}, false, 6, true, 6},
		{"3, 4, the record written again since at 6", {3, 4}, false, 6, false, 0},
		{"3, deleted and made anew at 1, the record at 1", {3, 1}, true, 1, true, 0},
	};
	int n = 500;
	uint64_t read = 0, writes = 0, deletes = 0, skipped = 0;
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		n++;
		put_local(n, c.record);
		std::vector<ferry_msg_ondisk> recs;
		// Logged after the boot: a delete from before it is checked against
		// the local record, which exists here, and would not go out.
		uint64_t t = g_boottime + 1000 * (uint64_t)n;
		for (size_t i = 0; i < c.logged.size(); i++) {
			recs.push_back(rec(n, c.logged[i], 1, 0, t + i));
			if (i == 0 && c.deleted_after_first) {
				recs.push_back(rec(n, 0, 1, 0, t + i, true));
			}
		}
		log(recs);
		read += recs.size();
		ASSERT_TRUE(read_all(read));
		writes += c.shipped;
		deletes += c.deleted_after_first;
		skipped += !c.shipped;
		auto by = wait_received(writes + deletes);
		std::vector<shipped> &v = by[digest_of(n)];
		ASSERT_EQ(v.size(), (c.shipped ? 1u : 0u) + (c.deleted_after_first ? 1u : 0u));
		// The delete and the write go out on connections of their own: the
		// datacenter may take them in either order.
		auto write = std::find_if(v.begin(), v.end(), [](const shipped &s) { return !s.is_delete; });
		ASSERT_EQ(write != v.end(), c.shipped);
		if (c.shipped) {
			EXPECT_EQ(write->generation, c.sent_gen);
		}
		EXPECT_EQ(cntr.remote_ship_skipped_genmismatch, skipped);
	}
}

TEST_F(Road, FilteringAndDeletesFirst)
{
	const ox_node boot = 0xB007, gone = 0x60E;
	g_bootnodes[0] = boot;
	g_bootnodecount = 1;
	const uint64_t before = g_boottime - 1, after = g_boottime + 1;
	struct {
		const char *what;
		bool failover;
		ox_node master;
		uint64_t time;
		bool shipped;
	} cases[] = {
		{"this node's record", true, 0, after, true},
		{"replica of a master gone before boot", true, gone, before, true},
		{"the same without failover", false, gone, before, false},
		{"replica logged after boot", true, gone, after, false},
		{"replica of a boot node", true, boot, before, false},
	};
	int n = 0;
	uint64_t taken = 0, skipped = 0, shipped_total = 0;
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		g_failover = c.failover;
		n++;
		put_local(n, 1);
		log({rec(n, 1, 1, c.master, c.time)});
		ASSERT_TRUE(read_all((uint64_t)n));
		shipped_total += c.shipped;
		auto by = wait_received(shipped_total);
		EXPECT_EQ(by[digest_of(n)].size(), c.shipped ? 1u : 0u);
		taken += c.master && c.shipped;
		skipped += c.master && !c.shipped;
		EXPECT_EQ(cntr.dlog_pkts_resume_replprocessed, taken);
		EXPECT_EQ(cntr.remote_ship_skipped_notmaster, skipped);
	}
	g_failover = true;

	// Unknown namespaces are counted and never shipped.
	uint64_t base = received().size();
	log({rec(100, 1, 5), rec(101, 1, 40), rec(102, 1, 0), rec(103, 1, -1)});
	ASSERT_TRUE(read_all((uint64_t)n + 4));
	EXPECT_EQ(cntr.remote_ship_skipped_unknown_namespace, 4u);

	// A delete goes out while the writes of its batch are still being
	// fetched: the local node holds its batch replies until the datacenter
	// has the delete.
	put_local(200, 1);
	log({rec(200, 1), rec(201, 1, 1, 0, 0, true)});
	fake_node *ln = fake_cluster_node(local, 0);
	fake_node_hold(ln, FAKE_REQ_BATCH);
	std::thread reader([&] { read_all((uint64_t)n + 6); });
	ASSERT_TRUE(fake_node_wait_held(ln, 1, 30000));
	std::vector<shipped> got;
	ferry_test_wait_until([&] { return received().size() >= base + 1; }, 30000);
	got = received();
	fake_node_release(ln);
	reader.join();
	ASSERT_EQ(got.size(), base + 1);
	EXPECT_TRUE(got.back().is_delete);
	EXPECT_EQ(got.back().digest, digest_of(201));
	auto by = wait_received(base + 2);
	EXPECT_EQ(by[digest_of(200)].size(), 1u);
	EXPECT_EQ(cntr.per_dc_counters[0].delete_ship_attempts, 1u);
}

TEST_F(Road, ReadTest)
{
	stop_workers(); // nothing here needs them
	// Records of a namespace with no slot table: read and counted, nothing
	// fetched.
	std::vector<ferry_msg_ondisk> recs;
	for (int i = 0; i < 499; i++) {
		recs.push_back(rec(i, 1, 9));
	}
	g_xcfg.ferry_read_batch_size = 500;
	ASSERT_EQ(ferry_ns_bucket_resize(1, 500), 0);
	r.buf = (char *)ox_realloc(r.buf, 500 * FERRY_MSG_ONDISK_SIZE);
	r.alloc_recs = 500;
	log(recs);
	// 499 of a batch of 500 wait for a second since the last read (a pass
	// that the machine held up longer than that may read them)...
	uint64_t t0 = ox_getms();
	r.last_read_ms = t0;
	uint64_t got = ferry_dlogreader_pass(&r);
	if (ox_getms() - t0 < FERRY_BATCH_MAXWAIT) {
		EXPECT_EQ(got, 0u);
		EXPECT_EQ(r.total_read, 0u);
	}
	// ...and are read once it has passed.
	r.last_read_ms = ox_getms() - FERRY_BATCH_MAXWAIT - 1;
	EXPECT_EQ(got + ferry_dlogreader_pass(&r), 499u);
	EXPECT_EQ(cntr.remote_ship_skipped_unknown_namespace, 499u);
	// A whole batch is read at the next pass, the second right after it.
	recs.clear();
	for (int i = 0; i < 1001; i++) {
		recs.push_back(rec(i, 1, 9));
	}
	log(recs);
	EXPECT_EQ(ferry_dlogreader_pass(&r), 1001u);
	EXPECT_EQ(r.total_read, 1500u);
	EXPECT_EQ(cntr.dlog_pkts_processed, 1500u);

	// Counted as logged but never there: two reads of nothing pass it over.
	ox_atomic64_add(&cntr.dlog_pkts_logged, 10);
	r.last_read_ms = 0;
	EXPECT_EQ(ferry_dlogreader_pass(&r), 0u);
	EXPECT_EQ(r.total_read, 1510u);
	EXPECT_EQ(cntr.dlog_pkts_processed, 1500u);

	// Shipping switched off: nothing is read, nor are the change bits
	// applied; switched on again, both go on.
	log({rec(1, 1, 9), rec(2, 1, 9)});
	g_xcfg.ferry_shipping_enabled = false;
	g_xcfg.ferry_new_cfg.ferry_read_mode = FERRY_MODE_SINGLE_RECORD_GET;
	g_xcfg.ferry_flag.fetch_or(FERRY_RECORD_GET_MODE_CHANGE);
	r.last_read_ms = 0;
	EXPECT_EQ(ferry_dlogreader_pass(&r), 0u);
	EXPECT_EQ(g_xcfg.ferry_read_mode, FERRY_MODE_BATCH_GET);
	g_xcfg.ferry_shipping_enabled = true;
	r.last_read_ms = 0;
	EXPECT_EQ(ferry_dlogreader_pass(&r), 2u);
	EXPECT_EQ(g_xcfg.ferry_read_mode, FERRY_MODE_SINGLE_RECORD_GET);
	EXPECT_EQ(g_xcfg.ferry_flag.load(), 0);
}

// Single mode: the workers read record by record, and the attempt ends the
// namespace whatever came back.
TEST_F(Road, SingleModeThroughTheWorkers)
{
	g_xcfg.ferry_read_mode = FERRY_MODE_SINGLE_RECORD_GET;
	const int n = 10;
	std::vector<ferry_msg_ondisk> recs;
	for (int i = 0; i < n; i++) {
		if (i != 4) {
			put_local(i, 2);
		}
		recs.push_back(rec(i, 2));
	}
	g_xcfg.ferry_batch_num_retry = 3;
	log(recs);
	ASSERT_TRUE(read_all(n));
	// A single read is bounded by 100 ms: on a loaded machine one may time
	// out, and its digest is relogged for later instead of shipped now.
	ferry_test_wait_until([&] {
		return received().size() + ox_atomic64_get(&cntr.dlog_pkts_relogged) +
				ox_atomic64_get(&cntr.local_recs_notfound) >= (size_t)n;
	}, 30000);
	auto by = wait_received(0);
	uint64_t relogged = cntr.dlog_pkts_relogged, notfound = cntr.local_recs_notfound;
	EXPECT_EQ(by.size() + relogged + notfound, (size_t)n);
	EXPECT_LE(notfound, 1u); // counted by the worker, not again later
	EXPECT_EQ(cntr.num_single_get_calls, (uint64_t)n);
	EXPECT_EQ(cntr.num_batch_calls, 0u);
	EXPECT_EQ(shash_get_size(g_ns_dbuckets[1].digest_to_idx_hash), 0u);
}

// A slot table that the pipe reader made for a smaller read batch while the
// reader changed its size is made larger before the batch fills it.
TEST_F(Road, SmallSlotTableIsRemadeForTheBatch)
{
	ferry_ns_bucket_free(1);
	ASSERT_EQ(ferry_ns_bucket_setup(1, "test", 2), 0);
	const int n = 50;
	put_and_log(n, 1);
	ASSERT_TRUE(read_all(n));
	EXPECT_GE(g_ns_dbuckets[1].capacity, kBatch);
	auto by = wait_received(n);
	EXPECT_EQ(by.size(), (size_t)n);
	EXPECT_EQ(cntr.dlog_pkts_relogged, 0u);
}

// With no record-fetch worker alive, a namespace larger than the part count
// is fetched on the reader's own thread instead of waiting for ever.
TEST_F(Road, NoWorkerFetchesInline)
{
	stop_workers();
	r.workers_started = 0;
	const int n = 10;
	put_and_log(n, 1);
	ASSERT_TRUE(read_all(n));
	auto by = wait_received(n);
	EXPECT_EQ(by.size(), (size_t)n);
	EXPECT_EQ(cntr.num_batch_calls, (uint64_t)kParts);
}

// A shipping delay of a thousand hours set at run time ends as soon as a
// later set-config lowers it: the reader sleeps it in steps that read it again.
TEST_F(Road, ShippingDelayLoweredEndsThePause)
{
	auto set = [](const char *params) {
		std::string p = params;
		ox_dyn_buf_define(db);
		ferry_set_config(nullptr, p.data(), &db);
		std::string answer((const char *)db.buf, db.used_sz);
		ox_dyn_buf_free(&db);
		return answer;
	};
	ASSERT_EQ(set("context=relay;relay-ship-delay=3600000"), "ok");
	const int n = 10;
	std::vector<ferry_msg_ondisk> recs;
	for (int i = 0; i < n; i++) {
		put_local(i, 1);
		recs.push_back(rec(i, 1));
	}
	log(recs);
	std::atomic<bool> done{false};
	std::thread reader([&] {
		read_all(n);
		done.store(true);
	});
	// The batch is shipped before the pause after it.
	EXPECT_EQ(wait_received(n).size(), (size_t)n);
	EXPECT_FALSE(done.load()) << "the pause did not happen";
	ASSERT_EQ(set("context=relay;relay-ship-delay=0"), "ok");
	EXPECT_TRUE(ferry_test_wait_until([&] { return done.load(); }, 30000));
	reader.join();
	EXPECT_EQ(r.total_read, (uint64_t)n);
}

// A delete read again on a resume (logged before this shipper booted) may
// have been followed, before the restart, by the record written again: it
// goes out only when the record is gone here, as a relogged delete does. A
// delete logged since the boot is checked only when the configuration asks.
TEST_F(Road, DeletesLoggedBeforeTheBootGoOutOnlyWhenTheRecordIsGone)
{
	const uint64_t before = g_boottime - 1, after = g_boottime + 1;
	struct {
		const char *what;
		uint64_t time;
		bool local;  // the record exists here again
		bool check;  // relay-check-data-before-delete
		bool shipped;
	} cases[] = {
		{"logged before the boot, written again since", before, true, false, false},
		{"logged before the boot, gone here", before, false, false, true},
		{"logged after the boot, no check asked", after, true, false, true},
		{"logged after the boot, the check asked", after, true, true, false},
	};
	int n = 300;
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		const size_t total = received().size() + 1 + c.shipped;
		const uint64_t canceled = cntr.dlog_deletes_canceled + !c.shipped;
		g_xcfg.ferry_check_data_before_delete = c.check;
		if (c.local) {
			put_local(n, 1);
		}
		// A write after it marks the end of the batch's sends.
		put_local(n + 1, 1);
		log({rec(n, 1, 1, 0, c.time, true), rec(n + 1, 1, 1, 0, after)});
		ASSERT_TRUE(read_all(r.total_read + 2));
		auto by = wait_received(total);
		ASSERT_EQ(by[digest_of(n + 1)].size(), 1u);
		EXPECT_EQ(by[digest_of(n)].size(), c.shipped ? 1u : 0u);
		EXPECT_EQ(received().size(), total);
		EXPECT_EQ(cntr.dlog_deletes_canceled, canceled);
		n += 2;
	}
}

// The reclaim never gives up the records of the batch being fetched, even
// when every minimum is far past them.
TEST_F(Road, ReclaimStopsAtTheBatchInProgress)
{
	std::string pipe = ferry_test_path("reader_fifo");
	fake_local_server *server = fls_start(pipe.c_str(), 0);
	ASSERT_NE(server, nullptr);
	ferry_test_local_addr(fls_port(server));

	// 150 records read and shipped: the next batch, 150 to 249, starts in
	// the middle of the log's second segment.
	std::vector<ferry_msg_ondisk> recs;
	for (int i = 0; i < 300; i++) {
		put_local(i, 1);
		recs.push_back(rec(i, 1));
	}
	log(std::vector<ferry_msg_ondisk>(recs.begin(), recs.begin() + 150));
	ASSERT_TRUE(read_all(150));
	wait_received(150);
	EXPECT_EQ(ferry_dlogreader_batch_floor(), FERRY_LST_NONE);
	log(std::vector<ferry_msg_ondisk>(recs.begin() + 150, recs.end()));
	// The cluster's minimum lies inside that batch, this node's own far on.
	fls_set_min_lastship_text(server, std::to_string(kT0 + 10 * 280 + FERRY_TIME_ADJUST).c_str());
	g_lastshiptime[0].lst_localmin = kT0 + 100000000;

	fake_node *ln = fake_cluster_node(local, 0);
	fake_node_hold(ln, FAKE_REQ_BATCH);
	std::thread reader([&] { read_all(300); });
	ASSERT_TRUE(fake_node_wait_held(ln, 1, 30000));
	EXPECT_EQ(ferry_dlogreader_batch_floor(), kT0 + 10 * 150);
	EXPECT_EQ(ferry_digestlog_reclaim_time(), kT0 + 10 * 150);
	// The segment before record 150 only: the one of 200 to 280 holds
	// records of the batch.
	EXPECT_EQ(ferry_digestlog_reclaim(), 100u);
	fake_node_release(ln);
	reader.join();
	EXPECT_EQ(wait_received(300).size(), 300u);
	EXPECT_EQ(ferry_dlogreader_batch_floor(), FERRY_LST_NONE);

	fls_stop(server);
	unlink(pipe.c_str());
	ox_vector_destroy(g_sockaddr_in_v);
	g_sockaddr_in_v = nullptr;
}

} // namespace
