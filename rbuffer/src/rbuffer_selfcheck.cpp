/*
 * ox_rbuffer_test: the ring buffer's built-in self-check. Eight scenarios of
 * writer and reader threads on files in /tmp with 50-byte numbered records
 * (160 per segment); results go to standard error. Nothing in the system
 * calls it; it sleeps between retries, so the small-ring scenarios take tens
 * of seconds.
 */
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/rbuffer.h"

namespace {

constexpr int TREC = 50;

struct testrecord {
	char text[TREC]; /* the record's number, "%49ld" */
};

struct job {
	ox_rbuffer *r;
	long from, to;   /* writer: numbers [from, to) */
	long count;      /* reader: records to read */
	int per_call;
	long dups;
	bool ok;
};

void *
rbuffer_writes(void *arg)
{
	job *j = (job *)arg;
	std::vector<testrecord> recs((size_t)j->per_call);
	long next = j->from;
	while (next < j->to) {
		int n = (int)std::min<long>(j->per_call, j->to - next);
		for (int i = 0; i < n; i++)
			snprintf(recs[(size_t)i].text, TREC, "%49ld", next + i);
		int w = ox_rbuffer_write(j->r, (const char *)recs.data(), n);
		if (w < 0) {
			sleep(2);
			continue;
		}
		next += w;
	}
	j->ok = ox_rbuffer_fflush(j->r);
	return NULL;
}

void *
rbuffer_reads(void *arg)
{
	job *j = (job *)arg;
	std::vector<testrecord> recs((size_t)j->per_call);
	std::vector<bool> seen;
	long total = 0, lo = -1, hi = -1;
	while (total < j->count) {
		int n = (int)std::min<long>(j->per_call, j->count - total);
		int k = ox_rbuffer_read(j->r, NULL, (char *)recs.data(), n);
		if (k <= 0) {
			sleep(1);
			continue;
		}
		for (int i = 0; i < k; i++) {
			char t[TREC + 1];
			memcpy(t, recs[(size_t)i].text, TREC);
			t[TREC] = 0;
			long v = atol(t);
			if (v < 0)
				continue;
			if ((size_t)v >= seen.size())
				seen.resize((size_t)v + 1);
			if (seen[(size_t)v]) {
				fprintf(stderr, "Duplicate Read %ld\n", v);
				j->dups++;
			}
			seen[(size_t)v] = true;
			lo = lo < 0 || v < lo ? v : lo;
			hi = v > hi ? v : hi;
		}
		total += k;
	}
	fprintf(stderr, "READ  Total: %ld [%ld to %ld] Batch Size: %d: Duplicates: %ld \n", total, lo, hi, j->per_call,
			j->dups);
	j->ok = true;
	return NULL;
}

ox_rbuffer *
open_test(int scenario, int nfiles, int64_t size, uint64_t batch, bool persist, std::vector<std::string> *names)
{
	ox_rbuffer_config c{};
	names->clear();
	for (int i = 0; i < nfiles; i++)
		names->push_back(nfiles == 1 ? "/tmp/digestr_logtest" + std::to_string(scenario)
					     : "/tmp/digestr_logtest" + std::to_string(scenario) + "_" + std::to_string(i));
	for (int i = 0; i < nfiles; i++) {
		c.fname[i] = (*names)[(size_t)i].c_str();
		c.fsize[i] = size;
	}
	c.nfiles = (uint8_t)nfiles;
	c.rec_size = TREC;
	c.batch_size = batch;
	c.persist = persist;
	c.trace = true;
	ox_rbuffer *r = ox_rbuffer_init(&c);
	if (!r)
		fprintf(stderr, "Ring Buffer Init Failed\n");
	return r;
}

/* Runs writers over consecutive ranges of `per_writer` numbers and one reader
 * of all of them. */
bool
run_threads(ox_rbuffer *r, int writers, long per_writer, int wcall, int rcall)
{
	std::vector<job> jobs((size_t)writers + 1);
	std::vector<pthread_t> t((size_t)writers + 1);
	bool ok = true;
	for (int i = 0; i < writers; i++) {
		jobs[(size_t)i] = job{r, i * per_writer, (i + 1) * per_writer, 0, wcall, 0, false};
		if (pthread_create(&t[(size_t)i], NULL, rbuffer_writes, &jobs[(size_t)i]) != 0)
			return false;
	}
	jobs[(size_t)writers] = job{r, 0, 0, writers * per_writer, rcall, 0, false};
	if (pthread_create(&t[(size_t)writers], NULL, rbuffer_reads, &jobs[(size_t)writers]) != 0)
		ok = false;
	for (int i = 0; i <= writers; i++) {
		void *ret = NULL;
		if (pthread_join(t[(size_t)i], &ret) != 0 || ret != NULL)
			ok = false;
		ok = ok && jobs[(size_t)i].ok && jobs[(size_t)i].dups == 0;
	}
	return ok;
}

bool
scenario_threads(int n, int nfiles, int64_t size, uint64_t batch, int writers, int wcall, int rcall)
{
	std::vector<std::string> names;
	ox_rbuffer *r = open_test(n, nfiles, size, batch, false, &names);
	if (!r)
		return false;
	bool ok = run_threads(r, writers, 10000, wcall, rcall);
	ox_rbuffer_close(r);
	return ok;
}

bool
scenario6()
{
	std::vector<std::string> names;
	ox_rbuffer *r = open_test(6, 1, 1000000000, 100, false, &names);
	if (!r)
		return false;
	ox_rbuffer_close(r);
	r = open_test(6, 1, 1000000000, 100, true, &names);
	if (!r)
		return false;
	job w{r, 0, 50000, 0, 1, 0, false};
	rbuffer_writes(&w);
	bool ok = w.ok && ox_atomic64_get(&r->write_stat) == 50000;
	job rd{r, 0, 0, 10000, 20, 0, false};
	rbuffer_reads(&rd);
	ox_rbuffer_close(r);
	r = open_test(6, 1, 1000000000, 100, true, &names);
	if (!r)
		return false;
	job rd2{r, 0, 0, 10000, 20, 0, false};
	rbuffer_reads(&rd2);
	ox_rbuffer_close(r);
	return ok && rd.dups == 0 && rd2.dups == 0;
}

bool
scenario7()
{
	std::vector<std::string> names;
	ox_rbuffer *r = open_test(7, 1, 10000000, 100, false, &names);
	if (!r)
		return false;
	job w{r, 0, 10000, 0, 1, 0, false};
	pthread_t t;
	if (pthread_create(&t, NULL, rbuffer_writes, &w) != 0) {
		ox_rbuffer_close(r);
		return false;
	}
	while (ox_atomic64_get(&r->write_stat) < 2000)
		usleep(1000);
	testrecord rec[10];
	ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(r, NULL, 0);
	bool a1 = false, a2 = false, a3 = false, a4 = false;
	if (ctx) {
		ox_rbuffer_read(r, ctx, (char *)rec, 10);
		a1 = ox_rbuffer_seek(r, ctx, -11, 1) == 0;
		a2 = ox_rbuffer_seek(r, ctx, 14999, 1) == 0;
		a3 = ox_rbuffer_seek(r, ctx, 100, 1) == 100 && ox_rbuffer_read(r, ctx, (char *)rec, 10) == 10;
		a4 = ox_rbuffer_seek(r, ctx, 99, 1) == 99 && ox_rbuffer_read(r, ctx, (char *)rec, 10) == 10 &&
		     ox_rbuffer_seek(r, ctx, -99, 1) == 99 && ox_rbuffer_read(r, ctx, (char *)rec, 10) == 10;
		ox_rbuffer_closectx(ctx);
	}
	fprintf(stderr, "Assertion 1: %s\n", a1 ? "Passed" : "Failed");
	fprintf(stderr, "Assertion 2: %s \n", a2 ? "Passed" : "Failed");
	fprintf(stderr, "Assertion 3: %s \n", a3 ? "Passed" : "Failed");
	fprintf(stderr, "Assertion 4: %s \n", a4 ? "Passed" : "Failed");
	void *ret = NULL;
	bool ok = pthread_join(t, &ret) == 0 && ret == NULL;
	ox_rbuffer_close(r);
	return ok;
}

} // namespace

int
ox_rbuffer_test(void)
{
	bool all = true;
	for (int n = 1; n <= 8; n++) {
		bool ok = false;
		switch (n) {
		case 1:
			ok = scenario_threads(1, 1, 1000000, 50, 1, 1, 1) && scenario_threads(1, 3, 100000, 50, 1, 1, 1);
			break;
		case 2:
			ok = scenario_threads(2, 1, 1000000, 50, 2, 1, 1) && scenario_threads(2, 3, 100000, 50, 2, 1, 1);
			break;
		case 3:
			ok = scenario_threads(3, 1, 1000000, 100, 1, 500, 20);
			break;
		case 4:
			ok = scenario_threads(4, 1, 100000, 50, 1, 1, 1);
			break;
		case 5:
			ok = scenario_threads(5, 1, 100000, 50, 2, 1, 1);
			break;
		case 6:
			ok = scenario6();
			break;
		case 7:
			ok = scenario7();
			break;
		case 8:
			ok = scenario_threads(8, 2, 100000, 50, 1, 1, 1);
			break;
		}
		fprintf(stderr, "Test %d: %s\n", n, ok ? "PASS" : "FAIL");
		if (n <= 5)
			fprintf(stderr, "\n");
		all = all && ok;
	}
	return all ? 0 : -1;
}
