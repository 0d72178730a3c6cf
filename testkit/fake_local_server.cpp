/*
 * fake_local_server: a stand-in for the local database server, written from
 * what the shipper sends and expects (see fake_local_server.h).
 *
 * Two threads: the info thread accepts one connection at a time and serves
 * one framed request on it (version 2, type 1, 48-bit big-endian size, text);
 * the pipe thread waits for a feed request, opens the FIFO for writing
 * (which blocks until the shipper opens it for reading) and plays the script.
 * The info framing is written here on purpose rather than borrowed from the
 * shipper's client, so a fault shared by both cannot hide.
 */
#include "fake_local_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
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

enum item_kind { ITEM_BYTES, ITEM_PAUSE, ITEM_CLOSE, ITEM_FLOOD };

struct pipe_item {
	item_kind kind;
	std::string bytes;
	int pause_ms;
	int32_t nsid;
	uint64_t first;
	uint64_t count;
};

uint64_t
mono_ms()
{
	return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
			std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

bool
write_all(int fd, const void *buf, size_t len)
{
	const char *p = (const char *)buf;
	while (len > 0) {
		ssize_t n = write(fd, p, len);
		if (n < 0 && errno == EINTR) {
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

// Reads len bytes, giving up after timeout_ms or when stop is set.
bool
read_all(int fd, void *buf, size_t len, const std::atomic<bool> &stop, int timeout_ms)
{
	char *p = (char *)buf;
	uint64_t end = mono_ms() + (uint64_t)timeout_ms;
	while (len > 0 && !stop.load()) {
		struct pollfd pfd = {fd, POLLIN, 0};
		int pr = poll(&pfd, 1, 50);
		if (pr < 0 && errno != EINTR) {
			return false;
		}
		if (pr <= 0) {
			if (mono_ms() > end) {
				return false;
			}
			continue;
		}
		ssize_t n = read(fd, p, len);
		if (n <= 0) {
			return false;
		}
		p += n;
		len -= (size_t)n;
	}
	return len == 0;
}

} // namespace

struct fake_local_server_s {
	std::string pipe_path;
	int listen_fd = -1;
	int port = 0;
	std::atomic<bool> stop{false};
	std::thread info_thread;
	std::thread pipe_thread;

	std::mutex lock;
	std::condition_variable cv;
	std::vector<reply_rule> rules;
	std::vector<std::string> requests;
	bool min_text_set = false;
	std::string min_text;
	int reports = 0;
	uint64_t last_report[DC_MAX_NUM] = {0};
	uint64_t last_report_ms = 0;
	int feeds_pending = 0;
	std::deque<pipe_item> script;
	bool playing = false;
	std::vector<int> held_fds; // silent connections, closed at stop
};

static reply_rule
fls_rule_for(fake_local_server *s, const std::string &req)
{
	reply_rule r = {"", FLS_ANSWER, 0};
	for (const reply_rule &rule : s->rules) {
		if (req.compare(0, rule.prefix.size(), rule.prefix) == 0) {
			r = rule;
		}
	}
	return r;
}

// The reply text of one request, and its side effects.
static std::string
fls_answer(fake_local_server *s, const std::string &req)
{
	std::string name = req.substr(0, req.find('\n'));
	if (req == "build\n") {
		return "build\t9.9.9-fake\n";
	}
	if (req == FLS_FEED_REQUEST) {
		s->feeds_pending++;
		s->cv.notify_all();
		return name + "\tok\n";
	}
	if (req.compare(0, strlen(FLS_LASTSHIP_PREFIX), FLS_LASTSHIP_PREFIX) == 0) {
		const char *p = req.c_str() + strlen(FLS_LASTSHIP_PREFIX);
		for (int i = 0; i < DC_MAX_NUM; i++) {
			s->last_report[i] = strtoull(p, (char **)&p, 10);
			if (*p == ',') {
				p++;
			}
		}
		s->reports++;
		s->last_report_ms = mono_ms();
		return name + "\tok\n";
	}
	if (req == FLS_MIN_LASTSHIP_REQUEST) {
		std::string value;
		if (s->min_text_set) {
			value = s->min_text;
		} else if (s->reports == 0) {
			value = "-1";
		} else {
			uint64_t min = UINT64_MAX;
			for (uint64_t v : s->last_report) {
				if (v != 0 && v < min) {
					min = v;
				}
			}
			value = min == UINT64_MAX ? "-1" : std::to_string(min);
		}
		return name + "\t" + value + "\n";
	}
	return name + "\terror\n";
}

static void
fls_send_reply(int fd, const std::string &text)
{
	uint8_t hdr[8] = {2, 1, 0, 0, 0, 0, 0, 0};
	uint64_t sz = text.size();
	for (int i = 0; i < 6; i++) {
		hdr[7 - i] = (uint8_t)(sz >> (8 * i));
	}
	write_all(fd, hdr, sizeof(hdr));
	write_all(fd, text.data(), text.size());
}

static void
fls_serve(fake_local_server *s, int fd)
{
	uint8_t hdr[8];
	if (!read_all(fd, hdr, sizeof(hdr), s->stop, 5000)) {
		close(fd);
		return;
	}
	uint64_t sz = 0;
	for (int i = 2; i < 8; i++) {
		sz = (sz << 8) | hdr[i];
	}
	std::string req(sz, '\0');
	if (sz > (1u << 20) || !read_all(fd, req.data(), sz, s->stop, 5000)) {
		close(fd);
		return;
	}
	reply_rule rule;
	{
		std::lock_guard<std::mutex> g(s->lock);
		s->requests.push_back(req);
		rule = fls_rule_for(s, req);
	}
	for (int waited = 0; waited < rule.delay_ms && !s->stop.load(); waited += 10) {
		usleep(10000);
	}
	std::string text;
	{
		std::lock_guard<std::mutex> g(s->lock);
		if (rule.mode == FLS_ANSWER) {
			text = fls_answer(s, req);
		}
		if (rule.mode == FLS_SILENT) {
			s->held_fds.push_back(fd);
			return;
		}
	}
	switch (rule.mode) {
	case FLS_ANSWER:
		fls_send_reply(fd, text);
		break;
	case FLS_EMPTY:
		fls_send_reply(fd, "");
		break;
	case FLS_GARBAGE:
		fls_send_reply(fd, std::string("\x01\x02 no value here", 16));
		break;
	default:
		break;
	}
	close(fd);
}

static void
fls_info_main(fake_local_server *s)
{
	while (!s->stop.load()) {
		struct pollfd pfd = {s->listen_fd, POLLIN, 0};
		if (poll(&pfd, 1, 50) <= 0) {
			continue;
		}
		int fd = accept(s->listen_fd, nullptr, nullptr);
		if (fd >= 0) {
			fls_serve(s, fd);
		}
	}
}

static void
fls_flood(int fd, const pipe_item &it, const std::atomic<bool> &stop)
{
	const uint64_t per_write = 65536 / sizeof(ferry_msg);
	std::vector<ferry_msg> buf(per_write);
	uint64_t done = 0;
	while (done < it.count && !stop.load()) {
		uint64_t n = it.count - done < per_write ? it.count - done : per_write;
		for (uint64_t i = 0; i < n; i++) {
			fls_make_digest(&buf[i], it.nsid, 1, it.first + done + i, 0, 0);
		}
		if (!write_all(fd, buf.data(), n * sizeof(ferry_msg))) {
			return;
		}
		done += n;
	}
}

static void
fls_pipe_main(fake_local_server *s)
{
	int fd = -1;
	std::unique_lock<std::mutex> g(s->lock);
	while (!s->stop.load()) {
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
			if (fd >= 0) {
				fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
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
			write_all(fd, it.bytes.data(), it.bytes.size());
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
			fls_flood(fd, it, s->stop);
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
	s->listen_fd = socket(AF_INET, SOCK_STREAM, 0);
	int one = 1;
	setsockopt(s->listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	struct sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_port = htons((uint16_t)port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t alen = sizeof(a);
	if (bind(s->listen_fd, (struct sockaddr *)&a, sizeof(a)) != 0 || listen(s->listen_fd, 64) != 0 ||
			getsockname(s->listen_fd, (struct sockaddr *)&a, &alen) != 0) {
		close(s->listen_fd);
		delete s;
		return nullptr;
	}
	s->port = ntohs(a.sin_port);
	s->info_thread = std::thread(fls_info_main, s);
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
	s->info_thread.join();
	s->pipe_thread.join();
	close(s->listen_fd);
	for (int fd : s->held_fds) {
		close(fd);
	}
	delete s;
}

int
fls_port(fake_local_server *s)
{
	return s->port;
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
	for (const std::string &r : s->requests) {
		n += r.compare(0, strlen(prefix), prefix) == 0;
	}
	return n;
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
	fls_push(s, {ITEM_BYTES, std::string((const char *)bytes, len), 0, 0, 0, 0});
}

void
fls_pipe_pause_ms(fake_local_server *s, int ms)
{
	fls_push(s, {ITEM_PAUSE, "", ms, 0, 0, 0});
}

void
fls_pipe_close(fake_local_server *s)
{
	fls_push(s, {ITEM_CLOSE, "", 0, 0, 0, 0});
}

void
fls_pipe_flood(fake_local_server *s, int32_t nsid, uint64_t first, uint64_t count)
{
	fls_push(s, {ITEM_FLOOD, "", 0, nsid, first, count});
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
	memset(digest, 0, 20);
	memcpy(digest, &seq, sizeof(seq));
	digest[19] = 0xd1;
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

#ifdef FAKE_LOCAL_SERVER_MAIN
/*
 * Standalone: fake_local_server --pipe PATH [--port N] [--ns NAME]
 * [--digests COUNT]. After each feed request it sends the namespace list
 * (NAME as number 1, then the end mark), the boot-node list's end mark and
 * COUNT digests, and keeps the pipe open. Prints "port=N" once it listens.
 */
int
main(int argc, char **argv)
{
	const char *pipe = nullptr;
	const char *ns = "test";
	int port = 0;
	uint64_t digests = 0;
	for (int i = 1; i + 1 < argc; i += 2) {
		std::string opt = argv[i];
		if (opt == "--pipe") {
			pipe = argv[i + 1];
		} else if (opt == "--port") {
			port = atoi(argv[i + 1]);
		} else if (opt == "--ns") {
			ns = argv[i + 1];
		} else if (opt == "--digests") {
			digests = strtoull(argv[i + 1], nullptr, 10);
		}
	}
	if (!pipe) {
		fprintf(stderr, "usage: fake_local_server --pipe PATH [--port N] [--ns NAME] [--digests COUNT]\n");
		return 2;
	}
	fake_local_server *s = fls_start(pipe, port);
	if (!s) {
		fprintf(stderr, "fake_local_server: cannot start\n");
		return 1;
	}
	printf("port=%d\n", fls_port(s));
	fflush(stdout);
	int feeds_seen = 0;
	for (;;) {
		int feeds = fls_requests(s, FLS_FEED_REQUEST);
		if (feeds > feeds_seen) {
			feeds_seen = feeds;
			ferry_msg m;
			fls_make_ns(&m, 1, ns);
			fls_pipe_msg(s, &m);
			fls_make_ns(&m, -1, nullptr);
			fls_pipe_msg(s, &m);
			fls_make_boot(&m, 0);
			fls_pipe_msg(s, &m);
			if (digests) {
				fls_pipe_flood(s, 1, 0, digests);
			}
		}
		usleep(100000);
	}
}
#endif
