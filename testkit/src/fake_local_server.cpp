/*
 * fake_local_server: a stand-in for the local database server, written from
 * what the shipper sends and expects (see fake_local_server.h).
 *
 * The info side is the hosted fake_node: "build" sits in its item table, the
 * shipper's own items and the tend's items of a one-node local cluster come
 * from an info handler, and a raw-request hook runs
 * first to record the request and apply the test's per-request rules (arming the node's fault for
 * silence, lateness or a close, or giving an empty or garbage body). The pipe
 * thread waits for a feed request, opens the FIFO for writing (retrying a
 * non-blocking open until the shipper has opened it for reading) and plays
 * the script on that non-blocking descriptor, so that a stop is never held up
 * by a reader that keeps the pipe open without reading.
 *
 * Locks: the stand-in's own mutex is never held while a call into the node
 * is made, since the node's threads call the hooks here with theirs free.
 */
#include "testkit/fake_local_server.h"
#include "testkit/digest.h"
#include "fake_items.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct reply_rule {
	std::string prefix;
	fls_reply_mode mode;
	int delay_ms;
};

enum item_kind { ITEM_BYTES, ITEM_PAUSE, ITEM_CLOSE, ITEM_FLOOD, ITEM_WAIT_READ, ITEM_DELETES };

struct pipe_item {
	item_kind kind = ITEM_BYTES;
	std::string bytes;
	int pause_ms = 0;
	int32_t nsid = 0;
	uint64_t first = 0;
	uint64_t count = 0;
	uint64_t per_sec = 0; // digest messages a second, 0: as fast as the pipe takes them
	std::string ns;       // ITEM_DELETES: the store's namespace of the records
};

pipe_item
item_of_kind(item_kind kind)
{
	pipe_item it;
	it.kind = kind;
	return it;
}

const char kGarbage[] = "\x01\x02 no value here";

uint64_t
mono_ms()
{
	return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
			std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

// The pipe stays non-blocking, so that a stop is seen while a reader that
// no longer reads keeps the pipe full.
bool
write_all(int fd, const void *buf, size_t len, const std::atomic<bool> &stop)
{
	const char *p = (const char *)buf;
	while (len > 0) {
		ssize_t n = write(fd, p, len);
		if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
			if (stop.load()) {
				return false;
			}
			struct pollfd pfd = {fd, POLLOUT, 0};
			poll(&pfd, 1, 50);
			continue;
		}
		if (n <= 0) {
			return false;
		}
		p += n;
		len -= (size_t)n;
	}
	return true;
}

bool
begins_with(const std::string &text, const char *prefix)
{
	return text.compare(0, strlen(prefix), prefix) == 0;
}

// An item is a request line without its newline.
std::string
item_of(const char *request)
{
	std::string r = request;
	return r.substr(0, r.find('\n'));
}

// Exactly 32 unsigned decimal numbers joined by single commas, nothing else:
// a report of any other shape is a fault of the shipper that tests must see.
bool
parse_report(const char *p, uint64_t v[DC_MAX_NUM])
{
	for (int i = 0; i < DC_MAX_NUM; i++) {
		if (*p < '0' || *p > '9') {
			return false;
		}
		char *end = nullptr;
		errno = 0;
		v[i] = strtoull(p, &end, 10);
		if (errno != 0) {
			return false;
		}
		p = end;
		if (*p != (i + 1 < DC_MAX_NUM ? ',' : '\0')) {
			return false;
		}
		p += i + 1 < DC_MAX_NUM;
	}
	return true;
}

} // namespace

struct fake_local_server_s {
	std::string pipe_path;
	fake_node *node = nullptr;
	std::atomic<bool> stop{false};
	std::thread pipe_thread;

	std::mutex lock; // guards everything below
	std::condition_variable cv;
	std::vector<std::string> info_requests; // every info request's text, in arrival order
	std::vector<reply_rule> rules;
	bool min_text_set = false;
	std::string min_text;
	int reports = 0;
	int bad_reports = 0;
	uint64_t last_report[DC_MAX_NUM] = {0};
	uint64_t last_report_ms = 0;
	int feeds_pending = 0;
	std::deque<pipe_item> script;
	bool playing = false;
	std::vector<std::string> namespaces{"test"}; // of the local cluster's replica lists
	uint32_t generation = 1;                     // moves with the namespaces
	std::atomic<uint64_t> fed{0};                // digest messages written by floods and deletes
};

// The shipper's computed items (node thread, no lock of the node held).
static bool
fls_info_item(void *udata, const std::string &item, std::string *value)
{
	auto *s = (fake_local_server *)udata;
	std::lock_guard<std::mutex> g(s->lock);
	if (item == item_of(FLS_FEED_REQUEST)) {
		s->feeds_pending++;
		s->cv.notify_all();
		*value = "ok";
		return true;
	}
	if (begins_with(item, FLS_LASTSHIP_PREFIX)) {
		uint64_t v[DC_MAX_NUM];
		if (!parse_report(item.c_str() + strlen(FLS_LASTSHIP_PREFIX), v)) {
			s->bad_reports++;
			*value = "error";
			return true;
		}
		memcpy(s->last_report, v, sizeof(v));
		s->reports++;
		s->last_report_ms = mono_ms();
		*value = "ok";
		return true;
	}
	// The tend of the local cluster: one node that masters every partition
	// of every namespace, with no other node to name.
	if (item == "node") {
		*value = FLS_NODE_NAME;
		return true;
	}
	if (item == "partitions") {
		*value = std::to_string(FLS_PARTITIONS);
		return true;
	}
	if (item == "partition-generation") {
		*value = std::to_string(s->generation);
		return true;
	}
	if (item == "services") {
		value->clear();
		return true;
	}
	if (item == "replicas-master" || item == "replicas-prole") {
		*value = fake_replicas_value(s->namespaces, fake_bitmap(FLS_PARTITIONS, item == "replicas-master"));
		return true;
	}
	if (item == item_of(FLS_MIN_LASTSHIP_REQUEST)) {
		if (s->min_text_set) {
			*value = s->min_text;
		} else {
			uint64_t min = UINT64_MAX;
			for (int i = 0; s->reports > 0 && i < DC_MAX_NUM; i++) {
				if (s->last_report[i] != 0 && s->last_report[i] < min) {
					min = s->last_report[i];
				}
			}
			*value = min == UINT64_MAX ? "-1" : std::to_string(min);
		}
		return true;
	}
	return false;
}

// The test's rule for this request, applied before any item is answered: a
// fault of the node for this one request, or a body of the stand-in's own.
// Returns true when the items must not be answered (nor their effects done).
static bool
fls_info_rule(void *udata, const std::string &request, std::string *body)
{
	auto *s = (fake_local_server *)udata;
	reply_rule rule = {"", FLS_ANSWER, 0};
	{
		std::lock_guard<std::mutex> g(s->lock);
		// Recorded before anything is done for it: a test that sees an effect
		// of a request (the pipe opened after a feed request) sees the request.
		s->info_requests.push_back(request);
		for (const reply_rule &r : s->rules) {
			if (begins_with(request, r.prefix.c_str())) {
				rule = r;
			}
		}
	}
	fake_fault f;
	f.count = 1;
	if (rule.mode == FLS_SILENT) {
		f.kind = FAKE_FAULT_SILENT;
	} else if (rule.mode == FLS_CLOSE) {
		f.kind = FAKE_FAULT_CLOSE_AFTER_REQUEST;
	} else if (rule.delay_ms > 0) {
		f.kind = FAKE_FAULT_DELAY;
		f.delay_ms = rule.delay_ms;
	}
	if (f.kind != FAKE_FAULT_NONE) {
		fake_node_set_fault(s->node, f);
	}
	switch (rule.mode) {
	case FLS_ANSWER:
		return false;
	case FLS_GARBAGE:
		*body = std::string(kGarbage, sizeof(kGarbage) - 1);
		return true;
	default:
		body->clear();
		return true;
	}
}

// Whole messages only, as the server writes them: a write of at most PIPE_BUF
// bytes reaches the pipe at once, so a reader never finds part of a message.
// At a rate, message i is due i / per_sec seconds after the start, so the
// rate holds on average whatever each write costs. A delete takes its record
// out of the store just before its message goes, as the server deletes
// before it reports.
static void
fls_flood(fake_local_server *s, int fd, const pipe_item &it)
{
	const uint64_t per_write = PIPE_BUF / sizeof(ferry_msg);
	const bool deletes = it.kind == ITEM_DELETES;
	std::vector<ferry_msg> buf(per_write);
	uint64_t start = mono_ms();
	uint64_t done = 0;
	while (done < it.count && !s->stop.load()) {
		uint64_t n = it.count - done < per_write ? it.count - done : per_write;
		if (it.per_sec > 0) {
			uint64_t due = (mono_ms() - start) * it.per_sec / 1000;
			if (due <= done) {
				// Sleep until the next message is due, at most 50 ms so a stop is seen.
				int64_t wait_ms = (int64_t)((done + 1) * 1000 / it.per_sec) - (int64_t)(mono_ms() - start);
				usleep((useconds_t)(wait_ms > 50 ? 50000 : wait_ms > 0 ? wait_ms * 1000 : 200));
				continue;
			}
			n = due - done < n ? due - done : n;
		}
		for (uint64_t i = 0; i < n; i++) {
			uint64_t seq = it.first + done + i;
			fls_make_digest(&buf[i], it.nsid, deletes ? 2 : 1, seq, 0, deletes ? RELAY_DELETE_FLAG : 0);
			if (deletes) {
				fake_node_remove_record(s->node, it.ns, buf[i].data.diginfo.digest);
			}
		}
		if (!write_all(fd, buf.data(), n * sizeof(ferry_msg), s->stop)) {
			return;
		}
		done += n;
		s->fed += n;
	}
}

static void
fls_pipe_main(fake_local_server *s)
{
	int fd = -1;
	std::unique_lock<std::mutex> g(s->lock);
	while (!s->stop.load()) {
		// A feed request while the pipe is open is a new opening by the
		// shipper (its old read end is gone): writes on the old descriptor
		// would fail until the new reader is there, so the pipe is opened
		// again and the script goes on once the reader has opened it.
		if (fd >= 0 && s->feeds_pending > 0) {
			close(fd);
			fd = -1;
		}
		if (fd < 0) {
			if (s->feeds_pending == 0) {
				s->cv.wait_for(g, std::chrono::milliseconds(50));
				continue;
			}
			s->feeds_pending = 0;
			g.unlock();
			// Non-blocking tries so that a stop is seen while no reader is there.
			while (fd < 0 && !s->stop.load()) {
				fd = open(s->pipe_path.c_str(), O_WRONLY | O_NONBLOCK);
				if (fd < 0) {
					usleep(5000);
				}
			}
			g.lock();
			continue;
		}
		if (s->script.empty()) {
			s->cv.wait_for(g, std::chrono::milliseconds(50));
			continue;
		}
		pipe_item it = s->script.front();
		s->script.pop_front();
		s->playing = true;
		g.unlock();
		switch (it.kind) {
		case ITEM_BYTES:
			write_all(fd, it.bytes.data(), it.bytes.size(), s->stop);
			break;
		case ITEM_PAUSE:
			for (int waited = 0; waited < it.pause_ms && !s->stop.load(); waited += 5) {
				usleep(5000);
			}
			break;
		case ITEM_CLOSE:
			close(fd);
			fd = -1;
			break;
		case ITEM_FLOOD:
		case ITEM_DELETES:
			fls_flood(s, fd, it);
			break;
		case ITEM_WAIT_READ:
			// Either end of a pipe tells how many bytes wait in it.
			for (int left = 1; left > 0 && !s->stop.load();) {
				if (ioctl(fd, FIONREAD, &left) != 0) {
					break;
				}
				if (left > 0) {
					usleep(1000);
				}
			}
			break;
		}
		g.lock();
		s->playing = false;
	}
	if (fd >= 0) {
		close(fd);
	}
}

fake_local_server *
fls_start(const char *pipe_path, int port)
{
	signal(SIGPIPE, SIG_IGN);
	struct stat st;
	if (stat(pipe_path, &st) != 0 && mkfifo(pipe_path, 0600) != 0) {
		return nullptr;
	}
	auto *s = new fake_local_server_s();
	s->pipe_path = pipe_path;
	s->node = fake_node_create();
	fake_node_set_info(s->node, "build", FLS_BUILD);
	fake_node_set_info_handler(s->node, fls_info_item, s);
	fake_node_set_info_raw(s->node, fls_info_rule, s);
	if (fake_node_start(s->node, port) != 0) {
		fake_node_destroy(s->node);
		delete s;
		return nullptr;
	}
	s->pipe_thread = std::thread(fls_pipe_main, s);
	return s;
}

void
fls_stop(fake_local_server *s)
{
	if (!s) {
		return;
	}
	s->stop.store(true);
	s->cv.notify_all();
	// The node's threads may still call the hooks: s outlives them.
	fake_node_destroy(s->node);
	s->pipe_thread.join();
	delete s;
}

int
fls_port(fake_local_server *s)
{
	return fake_node_port(s->node);
}

fake_node *
fls_node(fake_local_server *s)
{
	return s->node;
}

void
fls_set_reply(fake_local_server *s, const char *prefix, fls_reply_mode mode, int delay_ms)
{
	std::lock_guard<std::mutex> g(s->lock);
	s->rules.push_back({prefix, mode, delay_ms});
}

void
fls_set_min_lastship_text(fake_local_server *s, const char *value)
{
	std::lock_guard<std::mutex> g(s->lock);
	s->min_text_set = value != nullptr;
	s->min_text = value ? value : "";
}

int
fls_requests(fake_local_server *s, const char *prefix)
{
	std::lock_guard<std::mutex> g(s->lock);
	int n = 0;
	for (const std::string &r : s->info_requests) {
		n += begins_with(r, prefix);
	}
	return n;
}

int
fls_bad_lastship_reports(fake_local_server *s)
{
	std::lock_guard<std::mutex> g(s->lock);
	return s->bad_reports;
}

int
fls_lastship_reports(fake_local_server *s, uint64_t values[DC_MAX_NUM], uint64_t *when_ms)
{
	std::lock_guard<std::mutex> g(s->lock);
	if (values) {
		memcpy(values, s->last_report, sizeof(s->last_report));
	}
	if (when_ms) {
		*when_ms = s->last_report_ms;
	}
	return s->reports;
}

static void
fls_push(fake_local_server *s, pipe_item it)
{
	std::lock_guard<std::mutex> g(s->lock);
	s->script.push_back(std::move(it));
	s->cv.notify_all();
}

void
fls_pipe_msg(fake_local_server *s, const ferry_msg *m)
{
	fls_pipe_bytes(s, m, sizeof(*m));
}

void
fls_pipe_bytes(fake_local_server *s, const void *bytes, size_t len)
{
	pipe_item it = item_of_kind(ITEM_BYTES);
	it.bytes.assign((const char *)bytes, len);
	fls_push(s, it);
}

void
fls_pipe_pause_ms(fake_local_server *s, int ms)
{
	pipe_item it = item_of_kind(ITEM_PAUSE);
	it.pause_ms = ms;
	fls_push(s, it);
}

void
fls_pipe_wait_read(fake_local_server *s)
{
	fls_push(s, item_of_kind(ITEM_WAIT_READ));
}

void
fls_pipe_close(fake_local_server *s)
{
	fls_push(s, item_of_kind(ITEM_CLOSE));
}

void
fls_pipe_flood(fake_local_server *s, int32_t nsid, uint64_t first, uint64_t count)
{
	fls_pipe_feed(s, nsid, first, count, 0);
}

void
fls_pipe_feed(fake_local_server *s, int32_t nsid, uint64_t first, uint64_t count, uint64_t per_sec)
{
	pipe_item it = item_of_kind(ITEM_FLOOD);
	it.nsid = nsid;
	it.first = first;
	it.count = count;
	it.per_sec = per_sec;
	fls_push(s, it);
}

void
fls_pipe_deletes(fake_local_server *s, const char *ns, int32_t nsid, uint64_t first, uint64_t count)
{
	pipe_item it = item_of_kind(ITEM_DELETES);
	it.nsid = nsid;
	it.first = first;
	it.count = count;
	it.ns = ns;
	fls_push(s, it);
}

uint64_t
fls_pipe_fed(fake_local_server *s)
{
	return s->fed.load();
}

void
fls_set_namespaces(fake_local_server *s, const std::vector<std::string> &names)
{
	std::lock_guard<std::mutex> g(s->lock);
	if (names != s->namespaces) {
		s->namespaces = names;
		s->generation++;
	}
}

void
fls_put_record(fake_local_server *s, const char *ns, uint64_t seq, const fake_record &r)
{
	uint8_t digest[20];
	fls_digest_of(seq, digest);
	fake_node_put_record(s->node, ns, digest, r);
}

fake_record
fls_sample_record(uint64_t seq, size_t bytes)
{
	fake_record r;
	r.set = FLS_SAMPLE_SET;
	r.generation = 1;
	// Readable at its head, and different for every record all along.
	std::string v = "record " + std::to_string(seq) + ":";
	static const char kFill[] = "abcdefghijklmnopqrstuvwxyz0123456789";
	for (size_t i = 0; v.size() < bytes; i++) {
		v.push_back(kFill[(seq * 7 + i) % (sizeof(kFill) - 1)]);
	}
	v.resize(bytes);
	r.bins.push_back({FLS_SAMPLE_BIN, 3, v});
	return r;
}

void
fls_preload(fake_local_server *s, const char *ns, uint64_t first, uint64_t count, size_t bytes)
{
	for (uint64_t seq = first; seq < first + count; seq++) {
		fls_put_record(s, ns, seq, fls_sample_record(seq, bytes));
	}
}

void
fls_start_feed(fake_local_server *s)
{
	std::lock_guard<std::mutex> g(s->lock);
	s->feeds_pending++;
	s->cv.notify_all();
}

bool
fls_pipe_idle(fake_local_server *s)
{
	std::lock_guard<std::mutex> g(s->lock);
	return s->script.empty() && !s->playing;
}

void
fls_make_ns(ferry_msg *m, int32_t id, const char *name)
{
	memset(m, 0, sizeof(*m));
	m->xm_type = FERRY_MSG_TYPE_NSINFO;
	m->data.nsinfo.ns_id = id;
	if (name) {
		// A name of 32 characters fills the field with no terminator, as the
		// server may send it.
		size_t n = strnlen(name, NAMESPACE_MAX_SZ);
		memcpy(m->data.nsinfo.ns_name, name, n);
	}
}

void
fls_digest_of(uint64_t seq, uint8_t digest[20])
{
	memcpy(digest, testkit_digest(seq, 0xd1).digest, 20);
}

void
fls_make_digest(ferry_msg *m, int32_t nsid, uint32_t generation, uint64_t seq, ox_node master,
		uint32_t delete_flag)
{
	memset(m, 0, sizeof(*m));
	m->xm_type = FERRY_MSG_TYPE_DIGESTINFO;
	m->data.diginfo.ns_id = nsid;
	m->data.diginfo.generation = generation;
	m->data.diginfo.digesttime = 12345; // the shipper replaces it
	m->data.diginfo.masternode = master;
	fls_digest_of(seq, m->data.diginfo.digest);
	m->data.diginfo.delete_flag = delete_flag;
}

void
fls_make_boot(ferry_msg *m, ox_node node)
{
	memset(m, 0, sizeof(*m));
	m->xm_type = FERRY_MSG_TYPE_CLUST_STATE_CHANGE;
	m->data.clchg.change = FERRY_MSG_CLSTCHG_INIT;
	m->data.clchg.node = node;
}

void
fls_make_failed(ferry_msg *m, ox_node node, const uint64_t lastship[DC_MAX_NUM])
{
	memset(m, 0, sizeof(*m));
	m->xm_type = FERRY_MSG_TYPE_CLUST_STATE_CHANGE;
	m->data.clchg.change = FERRY_MSG_CLSTCHG_REMOVE;
	m->data.clchg.node = node;
	memcpy(m->data.clchg.lastshiptime, lastship, sizeof(m->data.clchg.lastshiptime));
}
