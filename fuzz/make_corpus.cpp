/*
 * Writes the seed corpora of the fuzz targets into corpus/<target>/: the
 * inputs the unit tests use (configuration texts, pipe messages, info and
 * database replies, numbers), in each target's input form, and digest logs
 * made by the ring buffer itself. Built on demand only:
 *   cmake --build build --target fuzz_make_corpus
 *   build/fuzz/fuzz_make_corpus fuzz/corpus
 * The files are committed; a new seed or a crashing input found by `make
 * fuzz` is added next to them.
 */
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "../ferry/tests/config_template.h"
#include "fuzz_common.h"
#include "tamberlin/ferry_shared.h"
#include "tamberlin/ox_packet_compression.h"
#include "tamberlin/proto.h"
#include "tamberlin/rbuffer.h"

using namespace std::string_literals;

static std::string s_root;

static void
seed(const char *target, const std::string &name, const std::string &bytes)
{
	std::string dir = s_root + "/" + target;
	mkdir(dir.c_str(), 0755);
	std::string path = dir + "/" + name;
	FILE *f = fopen(path.c_str(), "wb");
	if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
		perror(path.c_str());
		exit(1);
	}
}

static std::string
le(uint64_t v, int n)
{
	std::string s;
	for (int i = 0; i < n; i++)
		s.push_back((char)(v >> (8 * i)));
	return s;
}

static std::string
be(uint64_t v, int n)
{
	std::string s(n, '\0');
	ka_be_put((uint8_t *)&s[0], v, n);
	return s;
}

static std::string
base64(const std::vector<uint8_t> &in)
{
	static const char *a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	std::string out;
	for (size_t i = 0; i < in.size(); i += 3) {
		uint32_t v = (uint32_t)in[i] << 16;
		if (i + 1 < in.size())
			v |= (uint32_t)in[i + 1] << 8;
		if (i + 2 < in.size())
			v |= in[i + 2];
		out.push_back(a[(v >> 18) & 63]);
		out.push_back(a[(v >> 12) & 63]);
		out.push_back(i + 1 < in.size() ? a[(v >> 6) & 63] : '=');
		out.push_back(i + 2 < in.size() ? a[v & 63] : '=');
	}
	return out;
}

/* A bitmap of n partitions where partition p is set when owned(p). */
static std::string
bitmap(uint32_t n, const std::function<bool(uint32_t)> &owned)
{
	std::vector<uint8_t> bytes((n + 7) / 8, 0);
	for (uint32_t p = 0; p < n; p++)
		if (owned(p))
			bytes[p / 8] |= (uint8_t)(0x80 >> (p % 8));
	return base64(bytes);
}

/* ---- numbers ------------------------------------------------------------- */

static void
numbers(void)
{
	const char *texts[] = {" 12", "", "+1", "-", "--1", "-1", "-10", "-12", "-1K", "-1x", "-2147483648", "-3M",
		"-5", "0x1", "1 ", "1-", "10000000000000000", "10t", "12 ", "16384P", "18446744073709551615",
		"18446744073709551616", "1E", "1K", "1KB", "1KK", "1P", "1T", "1ds", "1w", "2147483647", "2147483648",
		"2d", "2g", "2t", "3G", "3H", "3m", "4294967295", "4294967296", "4294967297", "45", "45s", "4G", "5 ",
		"64K", "64k", "8192P", "90m", "9223372036854775808", "FF", "K", "[", "\xc6", "ff", "ffffffffffffffff",
		"fg", "zZ", "a,,b", ",a", "a:b;c", "x\ty z"};
	int i = 0;
	for (const char *t : texts) {
		// Radix 10, 16 and 24 in turn.
		const char radix[] = {8, 14, 22};
		seed("numbers", "test-" + std::to_string(i), std::string(1, radix[i % 3]) + t);
		i++;
	}
}

/* ---- configuration ------------------------------------------------------- */

static void
config(void)
{
	std::string every = conf({{"RELAY",
		"    {\n    relay-pidfile /tmp/ferry.pid\n    batch-size 700\n    digestlog-overwrite no\n"
		"    digestlog-persist FALSE\n    forward-relay-writes whatever\n    stop-writes-norelay whatever\n"
		"    relay-delete-shipping-enabled whatever\n    relay-nsup-deletes-enabled whatever\n    threads 7\n"
		"    timeout 1000\n    relay-batch-num-retry 2\n    relay-batch-retry-sleep 3\n"
		"    relay-forward-with-gencheck yes\n    relay-hotkey-maxskip 9\n    relay-shipping-enabled false\n"
		"    relay-info-timeout 250\n    relay-compression-threshold 1K\n    relay-write-batch-size 50\n"
		"    relay-read-batch-size 9000\n    relay-ship-delay 4\n    relay-check-data-before-delete true\n"
		"    relay-read-threads 6\n    relay-read-mode single\n    relay-do-version-check true\n"
		"    errorlog-path stderr debug\n"},
		{"DC", "        dc-int-ext-ipmap 10.0.0.1 192.0.2.1\n        dc-node-address-port seed2 3020\n"},
		{"NS", "    default-ttl 2d\n    max-ttl 90m\n"}});
	const std::pair<const char *, std::string> texts[] = {
		{"defaults", conf()},
		{"every-key", every},
		{"unknown-key", conf({{"RELAY", "    bogus 1\n"}})},
		{"port-range", conf({{"RELAY", "    local-node-port 80\n"}})},
		{"seed-port", conf({{"DC", "        dc-node-address-port h 70000\n"}})},
		{"overflow", conf({{"RELAY", "    relay-threads 5000000000\n"}})},
		{"bad-bool", conf({{"RELAY", "    digestlog-persist maybe\n"}})},
		{"bad-time", conf({{"NS", "    max-ttl 1w\n"}})},
		{"bad-size", conf({{"DLOG", "    digestlog-path /d 1E\n"}})},
		{"small-dlog", conf({{"DLOG", "    digestlog-path /d 56027\n"}})},
		{"unknown-user", conf({{"TAIL", "service {\n    user no-such-user-here\n}\n"}})},
		{"second-dlog", conf({{"RELAY", "    relay-digestlog-path /other 1G\n"}})},
		{"log-level", conf({{"RELAY", "    errorlog-path stderr loud\n"}})},
		{"long-line", conf({{"RELAY", "    " + std::string(1100, ' ') + "timeout 5\n    bogus 1\n"}})},
		{"nul-comment", conf({{"RELAY", "    # a\0b\n    bogus 1\n"s}})},
		{"read-threads", conf({{"RELAY", "    relay-read-threads 65\n"}})},
		{"read-mode", conf({{"RELAY", "    relay-read-mode Single\n"}})},
		{"dc-brace", conf({{"RELAY", "    datacenter {\n        dc-node-address-port a 3000\n    }\n"}})},
		{"dc-no-seed", conf({{"RELAY", "    datacenter EMPTY {\n    }\n"}})},
		{"unknown-dc", conf({{"NS", "    relay-remote-datacenter DCX\n"}})},
		{"no-dc", "namespace test {\n}\nrelay {\n    enable-relay true\n}\n"},
		{"no-pipe", "relay {\n enable-relay true\n datacenter A {\n dc-node-address-port a 3000\n }\n}\n"},
		{"no-info-port",
			"relay {\n enable-relay true\n namedpipe-path /p\n digestlog-path /d 1M\n local-node-port 3000\n"
			" datacenter A {\n dc-node-address-port a 3000\n }\n}\n"},
		{"disabled", "relay {\n    datacenter A {\n        dc-node-address-port a 3000\n    }\n}\n"},
		{"deep", "relay {\n {\n {\n {\n {\n {\n {\n {\n }\n"},
	};
	for (auto &[name, text] : texts)
		seed("config", name, text);
}

/* ---- pipe messages ------------------------------------------------------- */

static std::string
msg_bytes(const ferry_msg &m)
{
	return std::string((const char *)&m, sizeof(m));
}

static ferry_msg
ns_msg(int32_t id, const char *name)
{
	ferry_msg m = {};
	m.xm_type = FERRY_MSG_TYPE_NSINFO;
	m.data.nsinfo.ns_id = id;
	strncpy(m.data.nsinfo.ns_name, name, sizeof(m.data.nsinfo.ns_name));
	return m;
}

static ferry_msg
digest_msg(int32_t ns, uint8_t first, uint32_t flags)
{
	ferry_msg m = {};
	m.xm_type = FERRY_MSG_TYPE_DIGESTINFO;
	m.data.diginfo.ns_id = ns;
	m.data.diginfo.generation = 3;
	m.data.diginfo.masternode = 0;
	for (int i = 0; i < 20; i++)
		m.data.diginfo.digest[i] = (uint8_t)(first + i);
	m.data.diginfo.delete_flag = flags;
	return m;
}

static ferry_msg
node_msg(int8_t change, uint64_t node)
{
	ferry_msg m = {};
	m.xm_type = FERRY_MSG_TYPE_CLUST_STATE_CHANGE;
	m.data.clchg.change = change;
	m.data.clchg.node = node;
	for (int d = 0; d < DC_MAX_NUM; d++)
		m.data.clchg.lastshiptime[d] = 1700000000000ULL + (uint64_t)d;
	return m;
}

static void
pipe_msg(void)
{
	seed("pipe_msg", "namespaces", msg_bytes(ns_msg(1, "test")) + msg_bytes(ns_msg(2, "bar")) +
			msg_bytes(ns_msg(-1, "")));
	seed("pipe_msg", "digests", msg_bytes(ns_msg(1, "test")) + msg_bytes(digest_msg(1, 1, 0)) +
			msg_bytes(digest_msg(1, 9, RELAY_DELETE_FLAG)) + msg_bytes(digest_msg(7, 2, 0)));
	seed("pipe_msg", "boot-nodes", msg_bytes(node_msg(FERRY_MSG_CLSTCHG_INIT, 5)) +
			msg_bytes(node_msg(FERRY_MSG_CLSTCHG_INIT, 6)) + msg_bytes(node_msg(FERRY_MSG_CLSTCHG_INIT, 0)) +
			msg_bytes(node_msg(FERRY_MSG_CLSTCHG_INIT, 8)));
	seed("pipe_msg", "failed-node", msg_bytes(node_msg(FERRY_MSG_CLSTCHG_REMOVE, 0x1122334455667788ULL)) +
			msg_bytes(node_msg(FERRY_MSG_CLSTCHG_REMOVE, 0x1122334455667788ULL)) +
			msg_bytes(node_msg(FERRY_MSG_CLSTCHG_ADD, 1)));
	ferry_msg unknown = digest_msg(1, 1, 0);
	unknown.xm_type = 9;
	seed("pipe_msg", "unknown-type", msg_bytes(unknown) + msg_bytes(ns_msg(2, "bar")));
	seed("pipe_msg", "name-disagrees", msg_bytes(ns_msg(1, "other")));
	seed("pipe_msg", "short-piece", msg_bytes(digest_msg(2, 4, 0)).substr(0, 100));
	ferry_msg full_name = ns_msg(2, "");
	memset(full_name.data.nsinfo.ns_name, 'x', sizeof(full_name.data.nsinfo.ns_name));
	seed("pipe_msg", "unterminated-name", msg_bytes(full_name));
}

/* Pieces of the pipe_stream target: a 2-byte length before each. */
static std::string
pieces(const std::vector<std::string> &parts)
{
	std::string s;
	for (auto &p : parts)
		s += le(p.size(), 2) + p;
	return s;
}

static void
pipe_stream(void)
{
	std::string ns = msg_bytes(ns_msg(1, "test"));
	std::vector<std::string> good;
	for (int i = 0; i < 10; i++)
		good.push_back(msg_bytes(digest_msg(1, (uint8_t)i, 0)));
	std::vector<std::string> parts = {ns};
	parts.insert(parts.end(), good.begin(), good.end());
	seed("pipe_stream", "whole-messages", pieces(parts));
	// A short write between good messages, as the local server may make one.
	for (int cut : {1, 40, 100}) {
		std::vector<std::string> p = {ns, good[0], good[1], good[2].substr(0, (size_t)cut), good[3], good[4]};
		seed("pipe_stream", "short-" + std::to_string(cut), pieces(p));
	}
	// One message written in two pieces, and two messages in one.
	seed("pipe_stream", "split-message", pieces({ns, good[0].substr(0, 200), good[0].substr(200), good[1]}));
	seed("pipe_stream", "joined-messages", pieces({ns + good[5], good[6] + good[7].substr(0, 20)}));
	seed("pipe_stream", "nodes", pieces({msg_bytes(node_msg(FERRY_MSG_CLSTCHG_INIT, 5)),
			msg_bytes(node_msg(FERRY_MSG_CLSTCHG_REMOVE, 9)), msg_bytes(node_msg(FERRY_MSG_CLSTCHG_INIT, 0))}));
}

/* ---- digest logs --------------------------------------------------------- */

/* The compact form of one file of the dlog target. */
static std::string
compact(const std::string &path, uint64_t nsegs, uint64_t prefix)
{
	std::string file;
	FILE *f = fopen(path.c_str(), "rb");
	if (!f)
		exit(1);
	char buf[65536];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
		file.append(buf, n);
	fclose(f);
	file.resize(RBUFFER_FILE_HEADER_SIZE + nsegs * RBUFFER_SEG_SIZE, '\0');
	std::string out = file.substr(0, RBUFFER_META_SIZE);
	for (uint64_t k = 0; k < nsegs; k++) {
		size_t seg = RBUFFER_FILE_HEADER_SIZE + k * RBUFFER_SEG_SIZE;
		out += file.substr(seg, prefix);
		out += file.substr(seg + RBUFFER_SEG_DATASIZE, RBUFFER_SEG_HEADER_SIZE);
	}
	// Trailing zero bytes past the header are what a short input means
	// anyway; inside the header they would make a file cut short.
	while (out.size() > RBUFFER_META_SIZE && out.back() == '\0')
		out.pop_back();
	return out;
}

static void
dlog_case(const char *name, int nfiles, bool overwrite, int rec_index, int extra_segs, int writes, int reads,
		int mode, int seek)
{
	static const uint64_t rec_sizes[4] = {80, 32, 200, 4000};
	std::string dir = fuzz_tmpdir("corpus");
	ox_rbuffer_config cfg = {};
	std::string names[RBUFFER_MAX_FILES];
	uint64_t nsegs = RBUFFER_MIN_SEGS + (uint64_t)extra_segs;
	for (int i = 0; i < nfiles; i++) {
		names[i] = dir + "/dlog." + std::to_string(i);
		cfg.fname[i] = names[i].c_str();
		cfg.fsize[i] = (int64_t)(nsegs * RBUFFER_SEG_SIZE);
	}
	cfg.nfiles = (uint8_t)nfiles;
	cfg.rec_size = rec_sizes[rec_index];
	cfg.batch_size = 10;
	cfg.overwrite = overwrite;
	cfg.persist = true;
	ox_rbuffer *r = ox_rbuffer_init(&cfg);
	if (!r)
		exit(1);
	std::string rec(cfg.rec_size, '\0');
	for (int i = 0; i < writes; i++) {
		memset(&rec[0], (char)(i + 1), rec.size());
		ox_rbuffer_write(r, rec.data(), 1);
	}
	std::vector<char> buf(cfg.rec_size * 16);
	for (int i = 0; i < reads; i += 16)
		ox_rbuffer_read(r, nullptr, buf.data(), 16);
	ox_rbuffer_close(r);
	uint64_t prefix = 2 * cfg.rec_size < 160 ? 2 * cfg.rec_size : 160;
	uint8_t flags = (uint8_t)((nfiles - 1) | (overwrite ? 4 : 0) | (mode << 4) | (rec_index << 6));
	std::string input;
	input.push_back((char)flags);
	input.push_back((char)(extra_segs | ((writes / 4 > 63 ? 63 : writes / 4) << 2)));
	input.push_back((char)(int8_t)seek);
	for (int i = 0; i < nfiles; i++) {
		std::string c = compact(names[i], nsegs, prefix);
		if (i + 1 < nfiles)
			c.resize(RBUFFER_META_SIZE + nsegs * (prefix + RBUFFER_SEG_HEADER_SIZE), '\0');
		input += c;
		unlink(names[i].c_str());
	}
	seed("dlog", name, input);
}

static void
dlog(void)
{
	dlog_case("new", 1, true, 0, 0, 0, 0, 0, 0);
	dlog_case("some-records", 1, true, 0, 0, 25, 10, 0, 5);
	dlog_case("wrapped-overwrite", 1, true, 0, 0, 1000, 300, 0, -20);
	dlog_case("full-no-overwrite", 1, false, 0, 0, 700, 0, 2, 3);
	dlog_case("two-files", 2, true, 0, 1, 900, 100, 1, 40);
	dlog_case("small-records", 1, true, 1, 0, 300, 250, 3, -7);
	dlog_case("big-records", 1, false, 3, 0, 5, 1, 0, 1);
	dlog_case("four-files", 4, true, 2, 0, 200, 50, 0, 0);
	std::string cut = std::string("\0\0\0", 3) + le(RBUFFER_FILE_MAGIC, 8) + std::string(100, '\1');
	seed("dlog", "header-cut-short", cut);
}

/* ---- client replies ------------------------------------------------------ */

static std::string
info_framed(int call, const std::string &text)
{
	return std::string(1, (char)call) + text;
}

static std::string
info_raw(int call, uint64_t size, const std::string &text)
{
	return std::string(1, (char)(call | 8)) + "\x02\x01"s + be(size, 6) + text;
}

static std::string
replicas_text(uint32_t n)
{
	std::string masters = bitmap(n, [](uint32_t p) { return p % 2 == 0; });
	std::string proles = bitmap(n, [](uint32_t p) { return p % 2 == 1; });
	return "partition-generation\t3\nreplicas-master\ttest:" + masters + ";bar:" + proles +
			"\nreplicas-prole\ttest:" + proles + "\n";
}

static void
info_reply(void)
{
	seed("info_reply", "build", info_framed(0, "build\t3.2.9\n"));
	seed("info_reply", "items", info_framed(0, "a\t1\nc\t3\n"));
	seed("info_reply", "no-newline", info_framed(0, "build\t3.2.9"));
	seed("info_reply", "empty-value", info_framed(0, "k\t\n"));
	seed("info_reply", "excessive", info_framed(1, "big\t" + std::string(200, 'b') + "\n"));
	seed("info_reply", "node-name", info_framed(2, "node\tBB9000000000001\n"));
	seed("info_reply", "node-name-long", info_framed(2, "node\t" + std::string(40, 'N') + "\n"));
	seed("info_reply", "partitions", info_framed(3, "partitions\t4096\n"));
	seed("info_reply", "partitions-bad", info_framed(3, "partitions\t99999999\n"));
	seed("info_reply", "node-info", info_framed(4, "node\tBB9000000000001\npartition-generation\t7\n"
			"services\t127.0.0.1:3000;127.0.0.2:3001\n"));
	seed("info_reply", "replicas", info_framed(5, replicas_text(16)));
	seed("info_reply", "min-lastship", info_framed(6, "relay-min-lastshipinfo\t1650000000000\n"));
	seed("info_reply", "min-lastship-none", info_framed(6, "relay-min-lastshipinfo\t-1\n"));
	seed("info_reply", "min-lastship-bad", info_framed(6, "relay-min-lastshipinfo\t12ab\n"));
	seed("info_reply", "min-lastship-long", info_framed(6, "relay-min-lastshipinfo\t" + std::string(300, '9') + "\n"));
	seed("info_reply", "server-build", info_framed(7, "build\t3.2.9\n"));
	seed("info_reply", "raw-empty", info_raw(0, 0, ""));
	seed("info_reply", "raw-short", info_raw(2, 100, "node\tBB9\n"));
	seed("info_reply", "raw-huge", info_raw(0, 1ULL << 40, "x"));
}

static void
tend(void)
{
	const std::string check = "node\tBB9000000000001\npartition-generation\t7\n"
				  "services\t127.0.0.1:3000;127.0.0.2:3001;10.1.1.1:0;[::1]:3000;host:3000\n";
	seed("tend", "check", std::string("\0\0", 2) + check);
	seed("tend", "check-known-gen", std::string("\0\1", 2) + le(7, 4) + check);
	seed("tend", "check-renamed", std::string("\0\0", 2) + "node\tOTHER\npartition-generation\tx\n");
	seed("tend", "replicas-16", std::string("\0\0", 2) + replicas_text(16));
	seed("tend", "replicas-4096", std::string("\1\0", 2) + replicas_text(4096));
	seed("tend", "replicas-unknown-count", std::string("\3\0", 2) + replicas_text(16));
	seed("tend", "replicas-bad-entries", std::string("\0\0", 2) +
			"partition-generation\t4\nreplicas-master\t:AAAA;" + std::string(40, 'n') +
			":AAA=; spaced\t :wAA=;nocolon\nreplicas-prole\ttest:!!!!\n");
}

static void
replicas(void)
{
	seed("replicas", "two-ns", std::string(1, '\0') + "test:" + bitmap(16, [](uint32_t p) { return p < 8; }) +
			";bar:" + bitmap(16, [](uint32_t) { return true; }));
	seed("replicas", "one-of-4096", std::string(1, '\1') + "test:" + bitmap(4096, [](uint32_t p) { return p == 4095; }));
	seed("replicas", "bad", std::string(1, '\0') + "test:AA!A;x:;:wAA=;" + std::string(33, 'n') + ":wAA=;last");
	seed("replicas", "padding", std::string(1, '\6') + "AA==");
	seed("replicas", "one", std::string(1, '\2') + "test:gA==");
}

/* A reply body and its header, as the codec test builds them. */
struct reply_builder {
	uint16_t n_fields = 0, n_ops = 0;
	uint8_t result = 0;
	std::string body;
	reply_builder &field(int type, const std::string &data)
	{
		body += be(data.size() + 1, 4) + std::string(1, (char)type) + data;
		n_fields++;
		return *this;
	}
	reply_builder &op(int type, const std::string &name, const std::string &value)
	{
		body += be(4 + name.size() + value.size(), 4) + "\x01"s + std::string(1, (char)type) + "\0"s +
				std::string(1, (char)name.size()) + name + value;
		n_ops++;
		return *this;
	}
	/* The 22-byte message header in wire order. */
	std::string header() const
	{
		return std::string(1, (char)KA_MSG_HEADER_SZ) + "\x01\0\0\0"s + std::string(1, (char)result) +
				be(3, 4) + be(100, 4) + be(0, 4) + be(n_fields, 2) + be(n_ops, 2);
	}
	std::string wire() const
	{
		return "\x02\x03"s + be(KA_MSG_HEADER_SZ + body.size(), 6) + header() + body;
	}
};

static std::vector<std::pair<std::string, reply_builder>>
replies(void)
{
	std::vector<std::pair<std::string, reply_builder>> r;
	r.push_back({"three-ops", reply_builder()
			.field(KA_MSG_FIELD_TYPE_TRID, be(77, 8))
			.field(KA_MSG_FIELD_TYPE_SET, "myset")
			.op(1, "a", be(1, 8))
			.op(3, "b", "two")
			.op(4, "c", "333")});
	r.push_back({"by-name", reply_builder().op(1, "ab", be(5, 8)).op(1, "c", be(6, 8))});
	r.push_back({"empty-set", reply_builder().field(KA_MSG_FIELD_TYPE_SET, "")});
	r.push_back({"bad-particle", reply_builder().op(3, "a", "x").op(99, "b", "y")});
	r.push_back({"long-int", reply_builder().op(3, "a", "x").op(1, "b", std::string(9, '\1'))});
	r.push_back({"short-trid", reply_builder().field(KA_MSG_FIELD_TYPE_TRID, "abc")});
	r.push_back({"long-name", reply_builder().op(3, "a", "x").op(1, std::string(32, 'n'), be(1, 8))});
	r.push_back({"null-and-blobs", reply_builder().op(0, "n", "").op(7, "j", "jb").op(19, "m", "\x80"s)});
	reply_builder not_found;
	not_found.result = KA_PROTO_RESULT_FAIL_NOTFOUND;
	r.push_back({"not-found", not_found});
	return r;
}

static void
db_reply(void)
{
	int mode = 0;
	for (auto &[name, rb] : replies()) {
		// Alternating outputs: new bins, operations, the caller's three bins.
		const char modes[] = {0, 1, 1 << 4, 0x1f & ~1, 32};
		std::string input = std::string(1, modes[mode++ % 5]) + rb.header() + rb.body;
		seed("db_reply", name, input);
	}
	reply_builder cut = reply_builder().field(KA_MSG_FIELD_TYPE_SET, "abcdef");
	cut.body.resize(cut.body.size() - 3);
	seed("db_reply", "field-past-body", std::string(1, '\0') + cut.header() + cut.body);
}

static std::string
compressed(const std::string &plain)
{
	uint8_t *out = nullptr;
	size_t out_len = 0;
	if (ka::ox_packet_compression((const uint8_t *)plain.data(), plain.size(), &out, &out_len) != 0)
		exit(1);
	std::string s((char *)out, out_len);
	free(out);
	return s;
}

static void
db_reply_wire(void)
{
	for (auto &[name, rb] : replies())
		seed("db_reply_wire", name, rb.wire());
	auto all = replies();
	seed("db_reply_wire", "compressed", compressed(all[0].second.wire()));
	seed("db_reply_wire", "compressed-large", compressed(reply_builder().op(3, "s", std::string(5000, 'z')).wire()));
	seed("db_reply_wire", "header-size-21", "\x02\x03"s + be(22, 6) + "\x15" + std::string(21, '\0'));
	seed("db_reply_wire", "short-body", all[0].second.wire().substr(0, 40));
}

static void
compression(void)
{
	auto all = replies();
	seed("compression", "reply", compressed(all[0].second.wire()));
	seed("compression", "large", compressed(std::string(3000, 'q') + "tail"));
	std::string wrong_size = compressed("abcdefghijklmnopqrstuvwxyz0123456789");
	uint64_t org = 10;
	memcpy(&wrong_size[8], &org, 8);
	seed("compression", "wrong-org-size", wrong_size);
	std::string wrong_type = compressed("abcdefghijklmnopqrstuvwxyz0123456789");
	wrong_type[1] = KA_PROTO_TYPE_KA_MSG;
	seed("compression", "wrong-type", wrong_type);
	seed("compression", "plain-message", all[1].second.wire());
}

int
main(int argc, char **argv)
{
	if (argc != 2) {
		fprintf(stderr, "usage: %s corpus-folder\n", argv[0]);
		return 2;
	}
	s_root = argv[1];
	mkdir(s_root.c_str(), 0755);
	fuzz_logs_quiet();
	numbers();
	config();
	pipe_msg();
	pipe_stream();
	dlog();
	info_reply();
	tend();
	replicas();
	db_reply();
	db_reply_wire();
	compression();
	return 0;
}
