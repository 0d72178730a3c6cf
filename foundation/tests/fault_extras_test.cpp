// The fault log's periphery: the text of every dump form, dumps cut to their
// buffer, dump events, sinks opened at once, listings, the descriptor list,
// the roll of every sink's file, the start-up restart vector and the
// per-thread recovery stacks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fault_fixture.h"
#include "tamberlin/dynbuf.h"
#include "tamberlin/fault.h"

namespace {

using namespace fault_fixture;

typedef int (*generator)(const void *, uint32_t, char *, size_t);

struct Form {
	const char *name;
	generator gen;
	ox_display_type dt;
	const char *label;
	size_t (*need)(size_t n); // bytes written for n input bytes, NUL included
	uint32_t max_fit;         // the most input bytes whose text fits BIN_LIMIT
};

const Form kForms[] = {
	{"packed", generate_packed_hex_string, OX_DISPLAY_HEX_PACKED, "HexPacked",
		[](size_t n) { return 2 * n + 3; }, 510},
	{"spaced", generate_spaced_hex_string, OX_DISPLAY_HEX_SPACED, "HexSpaced",
		[](size_t n) { return 3 * n + 1; }, 341},
	{"columns", generate_column_hex_string, OX_DISPLAY_HEX_COLUMNS, "HexColumns",
		[](size_t n) { return 3 * n + n / 8 + 3; }, 327},
	{"base64", generate_base64_string, OX_DISPLAY_BASE64, "Base64",
		[](size_t n) { return 4 * ((n + 2) / 3) + 1; }, 765},
	{"bits", generate_4spaced_bits_string, OX_DISPLAY_BITS_SPACED, "BitsSpaced",
		[](size_t n) { return 10 * n + 1; }, 102},
	{"bitcolumns", generate_column_bits_string, OX_DISPLAY_BITS_COLUMNS, "BitsColumns",
		[](size_t n) { return 10 * n + n / 4 + 2; }, 99},
};

std::string
run(generator gen, const std::string &in, size_t out_sz = 4096, int *written = nullptr)
{
	std::vector<char> out(out_sz + 16, '#');
	int n = gen(in.data(), (uint32_t)in.size(), out.data(), out_sz);
	for (size_t i = out_sz; i < out.size(); i++)
		EXPECT_EQ(out[i], '#') << "written past the buffer at " << i;
	if (written != nullptr)
		*written = n;
	return n > 0 ? std::string(out.data(), (size_t)n - 1) : std::string("<none>");
}

TEST(FaultDump, EveryFormByteForByte)
{
	const std::string a5("\xa5", 1);
	const std::string nine("\x00\x01\x7f\x80\xff\x10\x20\x30\x40", 9);
	struct Case {
		generator gen;
		std::string in;
		std::string want;
	} cases[] = {
		{generate_packed_hex_string, "", "0x"},
		{generate_packed_hex_string, nine, "0x00017f80ff10203040"},
		{generate_spaced_hex_string, "", ""},
		{generate_spaced_hex_string, nine, "00 01 7f 80 ff 10 20 30 40 "},
		{generate_column_hex_string, "", "\n\n"},
		{generate_column_hex_string, "ABCDEFGH", "\n41 42 43 44 45 46 47 48 \n\n"},
		{generate_column_hex_string, nine, "\n00 01 7f 80 ff 10 20 30 \n40 \n"},
		{generate_base64_string, "", ""},
		{generate_base64_string, "a", "YQ=="},
		{generate_base64_string, "ab", "YWI="},
		{generate_base64_string, "abc", "YWJj"},
		{generate_base64_string, std::string("\xfb\xff\xbf", 3), "+/+/"},
		{generate_base64_string, "foobar", "Zm9vYmFy"},
		{generate_4spaced_bits_string, "", ""},
		{generate_4spaced_bits_string, a5, "1010 0101 "},
		{generate_4spaced_bits_string, std::string("\x00\xff", 2), "0000 0000 1111 1111 "},
		{generate_column_bits_string, "", "\n"},
		{generate_column_bits_string, std::string("\x01\x02\x04\x08\x80", 5),
			"\n0000 0001 0000 0010 0000 0100 0000 1000 \n1000 0000 "},
	};
	for (const auto &c : cases) {
		int n = 0;
		EXPECT_EQ(run(c.gen, c.in, 4096, &n), c.want);
		EXPECT_EQ((size_t)n, c.want.size() + 1) << "the count includes the NUL";
	}
}

TEST(FaultDump, LengthsFollowTheirFormulas)
{
	std::string in;
	for (int i = 0; i < 40; i++)
		in.push_back((char)(i * 37));
	for (const auto &f : kForms)
		for (size_t n = 0; n <= in.size(); n++) {
			int written = 0;
			std::string text = run(f.gen, in.substr(0, n), 4096, &written);
			EXPECT_EQ((size_t)written, f.need(n)) << f.name << " n " << n;
			EXPECT_EQ(text.size() + 1, f.need(n)) << f.name << " n " << n;
		}
}

TEST(FaultDump, DumpsAreCutToTheirBufferAtAByte)
{
	std::string big(5000, '\x5a');
	for (const auto &f : kForms) {
		ASSERT_LE(f.need(f.max_fit), (size_t)BIN_LIMIT) << f.name;
		ASSERT_GT(f.need(f.max_fit + 1), (size_t)BIN_LIMIT) << f.name;
		std::string whole = run(f.gen, big.substr(0, f.max_fit), BIN_LIMIT);
		for (size_t len : {(size_t)f.max_fit + 1, big.size()}) {
			int written = 0;
			EXPECT_EQ(run(f.gen, big.substr(0, len), BIN_LIMIT, &written), whole) << f.name << " " << len;
			EXPECT_LE(written, BIN_LIMIT);
		}
		// A buffer too small for even the empty text gets nothing.
		EXPECT_EQ(run(f.gen, "x", 0), "<none>") << f.name;
	}
	EXPECT_EQ(run(generate_packed_hex_string, "\x01\x02", 5), "0x01");
	EXPECT_EQ(run(generate_base64_string, "abcdef", 8), "YWJj");
}

class FaultExtras : public FaultLog {};

int digest_line;
void
log_digest(const uint8_t *d)
{
	digest_line = __LINE__ + 1;
	ox_info_digest(QM_FERRY, d, "rec %d ", 7);
}

int binary_line;
void
log_binary(const void *p, size_t len, ox_display_type dt)
{
	binary_line = __LINE__ + 1;
	ox_debug_binary(OX_RBUFFER, p, len, dt, "dump ");
}

TEST_F(FaultExtras, DumpEventLines)
{
	std::string path = tmp_path("dump");
	active_file_sink(path, "debug");
	uint8_t digest[OX_FAULT_DIGEST_LEN];
	std::string hex = "0x";
	for (int i = 0; i < OX_FAULT_DIGEST_LEN; i++) {
		digest[i] = (uint8_t)(0xf0 - i * 7);
		char b[3];
		snprintf(b, sizeof(b), "%02x", digest[i]);
		hex += b;
	}
	const std::string abc = "abc";

	time_t from = time(NULL);
	log_digest(digest);
	std::vector<std::string> want = {
		"INFO (relay): (fault_extras_test.cpp::" + std::to_string(digest_line) + ") rec 7 <Digest>:" + hex + "\n"};
	std::string where = "DEBUG (ox:rbuffer): (fault_extras_test.cpp:log_binary:";
	for (const auto &f : kForms) {
		log_binary(abc.data(), abc.size(), f.dt);
		want.push_back(where + std::to_string(binary_line) + ") dump <" + f.label + ">:" + run(f.gen, abc) + "\n");
	}
	log_binary(abc.data(), abc.size(), OX_DISPLAY_HEX_DIGEST);
	want.push_back(where + std::to_string(binary_line) + ") dump <Digest>:0x616263\n");
	log_binary(abc.data(), abc.size(), (ox_display_type)7);
	want.push_back(where + std::to_string(binary_line) + ") dump <Unknown Format>:\n");
	log_binary(abc.data(), abc.size(), (ox_display_type)-3);
	want.push_back(where + std::to_string(binary_line) + ") dump <Unknown Format>:\n");
	log_binary(nullptr, 3, OX_DISPLAY_BASE64);
	want.push_back(where + std::to_string(binary_line) + ") dump \n");
	time_t to = time(NULL);

	// The column forms hold newlines of their own, so the file is matched
	// entry by entry rather than split into lines.
	std::string text = slurp(path);
	size_t pos = 0;
	for (const auto &w : want) {
		bool found = false;
		for (time_t t = from; t <= to && !found; t++) {
			std::string entry = time_prefix(t) + w;
			if (text.compare(pos, entry.size(), entry) == 0) {
				pos += entry.size();
				found = true;
			}
		}
		ASSERT_TRUE(found) << "at " << pos << " want [" << w << "] in [" << text.substr(pos) << "]";
	}
	EXPECT_EQ(pos, text.size());
}

TEST_F(FaultExtras, DumpLineTextIsCutTo2045Characters)
{
	std::string path = tmp_path("dumpcut");
	active_file_sink(path, "info");
	std::string msg(3000, 'm');
	std::string bytes(600, '\x11');
	ox_info_binary(OX_MISC, bytes.data(), bytes.size(), OX_DISPLAY_HEX_PACKED, "%s", msg.c_str());
	auto got = lines_of(slurp(path));
	ASSERT_EQ(got.size(), 1u);
	EXPECT_EQ(got[0].size(), 2046u);
	EXPECT_EQ(got[0].back(), '\n');
	EXPECT_EQ(got[0][2044], 'm');
}

TEST_F(FaultExtras, WithNoSinkOnlyCriticalDumpsReachStderr)
{
	for (auto &f : ox_fault_filter)
		f = OX_DETAIL;
	::testing::internal::CaptureStderr();
	ox_warning_binary(OX_MISC, "ab", 2, OX_DISPLAY_HEX_SPACED, "dropped");
	ox_info_digest(OX_MISC, "01234567890123456789", "dropped too");
	EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(FaultExtras, CriticalDumpGoesToStderrAndAborts)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_DEATH(ox_crash_binary(OX_MISC, OX_PROCESS, "ab", 2, OX_DISPLAY_HEX_SPACED, "bad block "),
			"CRITICAL PROCESS \\(ox:misc\\): \\(fault_extras_test.cpp:TestBody:[0-9]+\\) bad block "
			"<HexSpaced>:61 62 ");
}

TEST_F(FaultExtras, AddedSinkIsOpenAtOnceAndFilledBeforeItCounts)
{
	std::string path = tmp_path("added");
	mode_t old = umask(0);
	ox_fault_sink *s = ox_fault_sink_add(path.c_str());
	umask(old);
	ASSERT_NE(s, nullptr);
	EXPECT_EQ(s, &ox_fault_sinks[0]);
	EXPECT_EQ(ox_fault_sinks_inuse, 1);
	EXPECT_EQ(s->path, path);
	EXPECT_GT(s->fd, 2);
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0600u);
	EXPECT_EQ(fcntl(s->fd, F_GETFL) & (O_APPEND | O_NONBLOCK | O_ACCMODE), O_APPEND | O_NONBLOCK | O_WRONLY);
	for (auto l : s->limit)
		EXPECT_EQ(l, OX_INFO);
	for (auto f : ox_fault_filter)
		EXPECT_EQ(f, OX_CRITICAL) << "the filter is not raised by an added sink";

	// What the filter already lets through reaches the new sink.
	ox_fault_filter[OX_SOCKET] = OX_INFO;
	ox_info(OX_SOCKET, "seen");
	ox_info(OX_MISC, "filtered");
	auto got = lines_of(slurp(path));
	ASSERT_EQ(got.size(), 1u);
	EXPECT_NE(got[0].find(") seen\n"), std::string::npos);

	ox_fault_sink *e = ox_fault_sink_add("stderr");
	ASSERT_NE(e, nullptr);
	EXPECT_EQ(e->fd, 2);
	EXPECT_EQ(ox_fault_sinks_inuse, 2);

	std::string bad = tmp_path("nodir") + "/sub/x.log";
	EXPECT_EQ(ox_fault_sink_add(bad.c_str()), nullptr);
	EXPECT_EQ(ox_fault_sinks_inuse, 2) << "a failed open leaves the count";
	EXPECT_EQ(ox_fault_sinks[2].path, nullptr) << "and the slot empty";

	for (int i = 2; i < 7; i++)
		ASSERT_NE(ox_fault_sink_add("stderr"), nullptr) << i;
	EXPECT_EQ(ox_fault_sink_add("stderr"), nullptr) << "seven sinks are the most";
	EXPECT_EQ(ox_fault_sinks_inuse, 7);
}

TEST_F(FaultExtras, AddedSinkNeverTakesAHeldSinksSlot)
{
	std::string held = tmp_path("held");
	ASSERT_NE(ox_fault_sink_hold(held.c_str()), nullptr);
	EXPECT_EQ(ox_fault_sink_add("stderr"), nullptr);
	EXPECT_EQ(ox_fault_sinks[0].path, held);
	ASSERT_EQ(ox_fault_sink_activate_all_held(), 0);
	ox_fault_sink *s = ox_fault_sink_add("stderr");
	EXPECT_EQ(s, &ox_fault_sinks[1]);
	EXPECT_EQ(ox_fault_sink_hold("stderr"), &ox_fault_sinks[2]) << "a later hold takes the next free slot";
}

std::string
text_of(ox_dyn_buf *db)
{
	return std::string((const char *)db->buf, db->used_sz);
}

TEST_F(FaultExtras, Listings)
{
	ox_dyn_buf_define(empty);
	EXPECT_EQ(ox_fault_sink_strlist(&empty), 0);
	EXPECT_EQ(empty.used_sz, 0u) << "no sink: nothing appended or removed";
	ox_dyn_buf_free(&empty);

	std::string path = tmp_path("list");
	ASSERT_NE(ox_fault_sink_add("stderr"), nullptr);
	ox_fault_sink *f = ox_fault_sink_add(path.c_str());
	ASSERT_NE(f, nullptr);
	ASSERT_EQ(ox_fault_sink_addcontext(f, "relay", "debug"), 0);

	ox_dyn_buf_define(db);
	ox_dyn_buf_append_string(&db, "sinks=");
	EXPECT_EQ(ox_fault_sink_strlist(&db), 0);
	EXPECT_EQ(text_of(&db), "sinks=0:stderr;1:" + path);
	ox_dyn_buf_free(&db);

	ox_dyn_buf_define(all);
	EXPECT_EQ(ox_fault_sink_context_all_strlist(1, &all), 0);
	std::string want;
	for (int c = 0; c < OX_FAULT_CONTEXT_UNDEF; c++)
		want += std::string(c ? ";" : "") + ox_fault_context_strings[c] + ":" + (c == QM_FERRY ? "DEBUG" : "INFO");
	EXPECT_EQ(text_of(&all), want);
	ox_dyn_buf_free(&all);

	struct {
		int id;
		const char *context;
		int rv;
		std::string want;
	} cases[] = {
		{1, "relay", 0, "relay:DEBUG"},
		{0, "relay", 0, "relay:INFO"},
		{1, "RELAY", 0, "RELAY:unknown"},
		{1, "ox:jem", 0, "ox:jem:INFO"},
		{1, "ox:je", 0, "ox:je:unknown"},
		{2, "relay", -1, ""},  // the active count itself is past the table
		{3, "relay", -1, ""},
		{8, "relay", -1, ""},
		{-1, "relay", -1, ""},
		{-1000, "relay", -1, ""},
	};
	for (const auto &c : cases) {
		ox_dyn_buf_define(one);
		EXPECT_EQ(ox_fault_sink_context_strlist(c.id, c.context, &one), c.rv) << c.id << " " << c.context;
		EXPECT_EQ(text_of(&one), c.want) << c.id << " " << c.context;
		ox_dyn_buf_free(&one);
		ox_dyn_buf_define(every);
		EXPECT_EQ(ox_fault_sink_context_all_strlist(c.id, &every), c.rv < 0 ? -1 : 0) << c.id;
		if (c.rv < 0) {
			EXPECT_EQ(every.used_sz, 0u) << c.id;
		}
		ox_dyn_buf_free(&every);
	}
}

TEST_F(FaultExtras, DescriptorListHoldsOnlyFileSinks)
{
	std::string p1 = tmp_path("fd1"), p2 = tmp_path("fd2");
	ox_fault_sink *a = ox_fault_sink_add(p1.c_str());
	ASSERT_NE(ox_fault_sink_add("stderr"), nullptr);
	ox_fault_sink *b = ox_fault_sink_add(p2.c_str());
	ASSERT_TRUE(a && b);
	int fds[OX_FAULT_SINKS_MAX];
	ASSERT_EQ(ox_fault_sink_get_fd_list(fds), 2);
	EXPECT_EQ(fds[0], a->fd);
	EXPECT_EQ(fds[1], b->fd);
}

TEST_F(FaultExtras, RollStartsEveryFileAfreshInPlace)
{
	std::string moved = tmp_path("roll"), kept = tmp_path("rolllow");
	std::string moved_away = moved + ".1";
	ASSERT_NE(ox_fault_sink_add("stderr"), nullptr);
	ox_fault_sink *m = ox_fault_sink_add(moved.c_str());
	ox_fault_sink *k = ox_fault_sink_add(kept.c_str());
	ASSERT_TRUE(m && k);
	ox_fault_sinks[0].limit[OX_MISC] = OX_CRITICAL; // keep the test output clean
	ox_fault_filter[OX_MISC] = OX_INFO;

	// A log file that landed on a standard descriptor: stdin here.
	int saved_stdin = dup(0);
	ASSERT_GE(saved_stdin, 0);
	ASSERT_EQ(dup2(k->fd, 0), 0);
	close(k->fd);
	k->fd = 0;
	int m_fd = m->fd;

	ox_info(OX_MISC, "before");
	ASSERT_EQ(rename(moved.c_str(), moved_away.c_str()), 0) << "an outside rotation";
	mode_t old = umask(0);
	::testing::internal::CaptureStderr();
	ox_fault_sink_logroll();
	std::string err = ::testing::internal::GetCapturedStderr();
	umask(old);
	ox_info(OX_MISC, "after");

	EXPECT_EQ(err, "ox_fault: rolling log files\n");
	EXPECT_EQ(m->fd, m_fd) << "the sink keeps its descriptor";
	EXPECT_EQ(ox_fault_sinks[0].fd, 2);
	auto old_lines = lines_of(slurp(moved_away));
	ASSERT_EQ(old_lines.size(), 1u);
	EXPECT_NE(old_lines[0].find(") before\n"), std::string::npos);
	auto new_lines = lines_of(slurp(moved));
	ASSERT_EQ(new_lines.size(), 1u);
	EXPECT_NE(new_lines[0].find(") after\n"), std::string::npos);
	struct stat st;
	ASSERT_EQ(stat(moved.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0600u);

	// The file on a standard descriptor is only opened again: nothing lost.
	auto low = lines_of(slurp(kept));
	ASSERT_EQ(low.size(), 2u);
	EXPECT_NE(low[0].find(") before\n"), std::string::npos);
	EXPECT_NE(low[1].find(") after\n"), std::string::npos);

	// A second roll with nothing moved removes the file and starts it empty.
	::testing::internal::CaptureStderr();
	ox_fault_sink_logroll();
	::testing::internal::GetCapturedStderr();
	EXPECT_EQ(slurp(moved), "");

	ASSERT_EQ(dup2(saved_stdin, 0), 0);
	close(saved_stdin);
	k->fd = -1;
	unlink(moved_away.c_str());
}

void
free_restart_vector()
{
	if (ox_fault_restart_argv == nullptr)
		return;
	for (char **p = ox_fault_restart_argv; *p != nullptr; p++)
		free(*p);
	free(ox_fault_restart_argv);
	ox_fault_restart_argv = nullptr;
	ox_fault_restart_argc = 0;
}

TEST_F(FaultExtras, InitBuildsTheRestartVectorAndLowersTheFilter)
{
	struct Case {
		std::vector<const char *> argv;
		std::vector<const char *> exclude;
		std::vector<std::string> want;
	} cases[] = {
		{{"prog", "-f", "conf", "--foreground", "", "-x"}, {"--foreground-please", "-x"},
			{"prog", "-f", "conf", "--process-fault"}},
		{{"prog", "-"}, {"-x"}, {"prog", "--process-fault"}}, // "-" begins "-x"
		{{"prog", "-xy"}, {"-x"}, {"prog", "-xy", "--process-fault"}},
		{{"prog", ""}, {}, {"prog", "--process-fault"}},
		{{}, {}, {"--process-fault"}},
	};
	for (const auto &c : cases) {
		for (auto &f : ox_fault_filter)
			f = OX_DETAIL;
		char *none = nullptr;
		ox_fault_init((int)c.argv.size(), c.argv.empty() ? &none : (char **)c.argv.data(),
				(int)c.exclude.size(), (char **)c.exclude.data());
		ASSERT_NE(ox_fault_restart_argv, nullptr);
		EXPECT_EQ(ox_fault_restart_argc, (int)c.want.size());
		for (size_t i = 0; i < c.want.size(); i++)
			EXPECT_EQ(ox_fault_restart_argv[i], c.want[i]) << i;
		EXPECT_EQ(ox_fault_restart_argv[c.want.size()], nullptr);
		for (auto f : ox_fault_filter)
			EXPECT_EQ(f, OX_WARNING);
	}
	free_restart_vector();
}

TEST_F(FaultExtras, InitRefusesInvalidArguments)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	const char *argv[] = {"prog", nullptr};
	const char *excl[] = {"-x"};
	struct {
		int argc;
		char **argv;
		int excludec;
		char **exclude;
	} cases[] = {
		{0, nullptr, 0, nullptr},
		{2, nullptr, 0, nullptr},
		{-1, (char **)argv, 0, nullptr},
		{1, (char **)argv, -1, (char **)excl},
		{1, (char **)argv, 1, nullptr},
	};
	for (const auto &c : cases)
		EXPECT_DEATH(ox_fault_init(c.argc, c.argv, c.excludec, c.exclude),
				"CRITICAL GLOBAL \\(ox:misc\\): .*invalid argument")
				<< c.argc << " " << c.excludec;
}

pthread_key_t
recovery_key()
{
	static pthread_key_t key;
	static bool made = [] { return ox_fault_recovery_globalinit(&key) == 0; }();
	EXPECT_TRUE(made);
	return key;
}

std::vector<intptr_t> calls;

void
note_call(void *arg)
{
	calls.push_back((intptr_t)arg);
}

TEST(FaultRecovery, StackLimitsAndOrder)
{
	pthread_key_t key = recovery_key();
	calls.clear();
	EXPECT_EQ(ox_fault_recovery_push(&key, note_call, nullptr), -1) << "no stack bound yet";
	EXPECT_EQ(ox_fault_recovery_pop(&key, 1), -1);
	ox_fault_recovery(&key); // nothing to do without a stack

	ox_fault_recovery_stack stack;
	memset(&stack, 0x5a, sizeof(stack));
	ASSERT_EQ(ox_fault_recovery_localinit(&key, &stack), 0);
	EXPECT_EQ(stack.sz, -1);
	EXPECT_EQ(ox_fault_recovery_pop(&key, 1), -1) << "empty";
	EXPECT_EQ(ox_fault_recovery_pop(&key, 0), -1) << "empty";
	EXPECT_EQ(stack.sz, -1);

	for (intptr_t i = 0; i < OX_FAULT_RECOVERY_STACK_MAXDEPTH; i++)
		ASSERT_EQ(ox_fault_recovery_push(&key, note_call, (void *)i), 0) << i;
	EXPECT_EQ(ox_fault_recovery_push(&key, note_call, (void *)99), -1) << "a 33rd entry";
	EXPECT_EQ(stack.sz, OX_FAULT_RECOVERY_STACK_MAXDEPTH - 1);
	for (intptr_t i = 0; i < OX_FAULT_RECOVERY_STACK_MAXDEPTH; i++) {
		EXPECT_EQ(stack.fn[i], note_call);
		EXPECT_EQ(stack.arg[i], (void *)i);
	}
	EXPECT_EQ(ox_fault_recovery_push(&key, nullptr, nullptr), -1);
	EXPECT_EQ(ox_fault_recovery_push(nullptr, note_call, nullptr), -1);
	EXPECT_EQ(ox_fault_recovery_localinit(nullptr, &stack), -1);

	EXPECT_EQ(ox_fault_recovery_pop(&key, 1), 0);
	EXPECT_EQ(ox_fault_recovery_pop(&key, 0), 0);
	EXPECT_EQ(calls, std::vector<intptr_t>{31}) << "only the executed pop calls";
	ox_fault_recovery(&key);
	EXPECT_EQ(stack.sz, -1);
	ASSERT_EQ(calls.size(), 31u);
	for (intptr_t i = 0; i < 30; i++)
		EXPECT_EQ(calls[1 + i], 29 - i) << "top down";
	EXPECT_EQ(ox_fault_recovery_pop(&key, 1), -1);
	pthread_setspecific(key, nullptr);
}

struct ThreadRun {
	pthread_key_t key;
	int pushes;
	int depth_seen = -2;
	int pop_empty = 0;
};

void *
stack_thread(void *p)
{
	ThreadRun *t = (ThreadRun *)p;
	ox_fault_recovery_stack stack;
	if (ox_fault_recovery_localinit(&t->key, &stack) != 0)
		return nullptr;
	for (int i = 0; i < t->pushes; i++)
		ox_fault_recovery_push(&t->key, [](void *) {}, nullptr);
	t->depth_seen = stack.sz;
	while (ox_fault_recovery_pop(&t->key, 1) == 0) {
	}
	t->pop_empty = ox_fault_recovery_pop(&t->key, 0);
	return nullptr;
}

TEST(FaultRecovery, EachThreadHasItsOwnStack)
{
	pthread_key_t key = recovery_key();
	ox_fault_recovery_stack mine;
	ASSERT_EQ(ox_fault_recovery_localinit(&key, &mine), 0);
	ASSERT_EQ(ox_fault_recovery_push(&key, note_call, nullptr), 0);
	ThreadRun a{key, 3}, b{key, 40};
	pthread_t ta, tb;
	ASSERT_EQ(pthread_create(&ta, nullptr, stack_thread, &a), 0);
	ASSERT_EQ(pthread_join(ta, nullptr), 0);
	ASSERT_EQ(pthread_create(&tb, nullptr, stack_thread, &b), 0);
	ASSERT_EQ(pthread_join(tb, nullptr), 0);
	EXPECT_EQ(a.depth_seen, 2);
	EXPECT_EQ(b.depth_seen, 31);
	EXPECT_EQ(a.pop_empty, -1);
	EXPECT_EQ(mine.sz, 0) << "other threads never touch this thread's stack";
	EXPECT_EQ(ox_fault_recovery_pop(&key, 0), 0);
	pthread_setspecific(key, nullptr);
}

TEST(FaultRecoveryDeathTest, NullArgumentsAreCritical)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_DEATH(ox_fault_recovery_globalinit(nullptr), "CRITICAL PROCESS \\(ox:misc\\): .*null rkey");
	EXPECT_DEATH(ox_fault_recovery_localinit(nullptr, nullptr), "invalid argument");
	EXPECT_DEATH(ox_fault_recovery_push(nullptr, nullptr, nullptr), "invalid argument");
	EXPECT_DEATH(ox_fault_recovery_pop(nullptr, 1), "invalid argument");
	EXPECT_DEATH(ox_fault_recovery(nullptr), "invalid argument");
}

} // namespace
