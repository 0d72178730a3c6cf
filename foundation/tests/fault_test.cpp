// The fault log: line format, filter and sink levels, name tables, sink
// registration, and the ends of a CRITICAL event. Sink output is read back
// from files in the test directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fault_fixture.h"
#include "tamberlin/fault.h"

namespace {

using namespace fault_fixture;

// Each macro in its own function so that the expected location is known.
int warning_line;
void
log_warning()
{
	warning_line = __LINE__ + 1;
	ox_warning(QM_FERRY, "queue full");
}

int info_line;
void
log_info()
{
	info_line = __LINE__ + 1;
	ox_info(OX_SOCKET, "port %d", 3000);
}

int debug_line;
void
log_debug()
{
	debug_line = __LINE__ + 1;
	ox_debug(OX_RBUFFER, "seg %s", "7");
}

int detail_line;
void
log_detail()
{
	detail_line = __LINE__ + 1;
	ox_detail(QM_CFG, "x");
}

int assert_line;
void
log_assert()
{
	assert_line = __LINE__ + 1;
	ox_assert(1 == 2, QM_INFO, OX_THR, OX_WARNING, "bad %u", 5u);
	ox_assert(1 == 1, QM_INFO, OX_THR, OX_WARNING, "never");
}

int nostack_line;
void
log_nostack()
{
	nostack_line = __LINE__ + 1;
	ox_assert_nostack(false, OX_ALLOC, OX_THR, OX_INFO, "short");
}

void
log_no_location()
{
	ox_fault_event(OX_MISC, OX_THR, OX_INFO, NULL, "ignored", 9, "bare");
	ox_fault_event_nostack(OX_MISC, OX_THR, OX_INFO, NULL, 9, "bare short");
}

TEST_F(FaultLog, LineFormatOfEveryForm)
{
	std::string path = tmp_path("format");
	active_file_sink(path, "detail");

	time_t from = time(NULL);
	log_warning();
	log_info();
	log_debug();
	log_detail();
	log_assert();
	log_nostack();
	log_no_location();
	time_t to = time(NULL);

	auto ln = [](int n) { return std::to_string(n); };
	const std::vector<std::string> want = {
		"WARNING (relay): (fault_test.cpp::" + ln(warning_line) + ") queue full\n",
		"INFO (ox:socket): (fault_test.cpp::" + ln(info_line) + ") port 3000\n",
		"DEBUG (ox:rbuffer): (fault_test.cpp:log_debug:" + ln(debug_line) + ") seg 7\n",
		"DETAIL (config): (fault_test.cpp:log_detail:" + ln(detail_line) + ") x\n",
		"WARNING (info): (fault_test.cpp:log_assert:" + ln(assert_line) + ") bad 5\n",
		"INFO (ox:alloc): (fault_test.cpp:" + ln(nostack_line) + ") short\n",
		"INFO (ox:misc): bare\n",
		"INFO (ox:misc): bare short\n",
	};
	auto got = lines_of(slurp(path));
	ASSERT_EQ(got.size(), want.size());
	for (size_t i = 0; i < want.size(); i++)
		EXPECT_TRUE(line_is(got[i], from, to, want[i])) << "line " << i;
}

TEST_F(FaultLog, TextIsCutTo1021CharactersBeforeTheNewline)
{
	std::string path = tmp_path("cut");
	active_file_sink(path, "info");

	// Every time prefix has the same length, so one message length per case
	// puts the whole text just under, at, or past the cut.
	time_t from = time(NULL);
	const size_t head = time_prefix(from).size() + strlen("INFO (ox:misc): ");
	const std::vector<size_t> text_lengths = {1020, 1021, 1022, 1023, 1500, 5000};
	for (size_t len : text_lengths)
		ox_fault_event(OX_MISC, OX_THR, OX_INFO, NULL, NULL, 0, "%s",
				std::string(len - head, 'm').c_str());
	time_t to = time(NULL);

	auto got = lines_of(slurp(path));
	ASSERT_EQ(got.size(), text_lengths.size());
	for (size_t i = 0; i < got.size(); i++) {
		size_t kept = std::min<size_t>(text_lengths[i], 1021);
		EXPECT_EQ(got[i].size(), kept + 1);
		EXPECT_TRUE(line_is(got[i], from, to, "INFO (ox:misc): " + std::string(kept - head, 'm') + "\n"))
				<< text_lengths[i];
	}
}

TEST_F(FaultLog, BeforeActivationOnlyCriticalPassesAndGoesToStderr)
{
	ASSERT_NE(ox_fault_sink_hold(tmp_path("held").c_str()), nullptr);
	::testing::internal::CaptureStderr();
	ox_warning(OX_MISC, "w");
	ox_info(OX_MISC, "i");
	EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
	EXPECT_FALSE(ox_context_at_severity(OX_MISC, OX_WARNING));
	EXPECT_TRUE(ox_context_at_severity(OX_MISC, OX_CRITICAL));
}

TEST_F(FaultLog, WithNoActiveSinkOnlyWarningReachesStderr)
{
	ox_fault_sink *s = ox_fault_sink_hold(tmp_path("nosink").c_str());
	ASSERT_NE(s, nullptr);
	// The filter now admits INFO of QM_FERRY, but with no active sink only
	// CRITICAL and WARNING lines have somewhere to go.
	ASSERT_EQ(ox_fault_sink_setcontext(s, "relay", "info"), 0);
	EXPECT_TRUE(ox_context_at_severity(QM_FERRY, OX_INFO));

	::testing::internal::CaptureStderr();
	time_t from = time(NULL);
	ox_fault_event(QM_FERRY, OX_THR, OX_WARNING, NULL, NULL, 0, "to stderr");
	ox_fault_event(QM_FERRY, OX_THR, OX_INFO, NULL, NULL, 0, "dropped");
	time_t to = time(NULL);
	EXPECT_TRUE(line_is(::testing::internal::GetCapturedStderr(), from, to,
			"WARNING (relay): to stderr\n"));
}

TEST_F(FaultLog, NameTables)
{
	EXPECT_STREQ(ox_fault_severity_strings[OX_DETAIL], "DETAIL");
	EXPECT_EQ(ox_fault_severity_strings[OX_FAULT_SEVERITY_UNDEF], nullptr);
	EXPECT_STREQ(ox_fault_scope_strings[OX_THR], "THREAD");
	EXPECT_STREQ(ox_fault_context_strings[OX_MISC], "ox:misc");
	EXPECT_STREQ(ox_fault_context_strings[QM_FERRY], "relay");
	EXPECT_STREQ(ox_fault_context_strings[OX_RBUFFER], "ox:rbuffer");
	EXPECT_STREQ(ox_fault_context_strings[OX_JEM], "ox:jem");
	EXPECT_EQ(ox_fault_context_strings[OX_FAULT_CONTEXT_UNDEF], nullptr);
	for (int i = 0; i < OX_FAULT_CONTEXT_UNDEF; i++)
		EXPECT_NE(ox_fault_context_strings[i], nullptr) << i;
}

TEST_F(FaultLog, SeverityNamesArePrefixesInAnyCase)
{
	struct {
		const char *text;
		int level; // -1: no match
	} cases[] = {
		{"", OX_DETAIL}, {"D", OX_DETAIL}, {"de", OX_DETAIL}, {"DEB", OX_DEBUG},
		{"c", OX_CRITICAL}, {"warn", OX_WARNING}, {"Info", OX_INFO}, {"detail", OX_DETAIL},
		{"CRITICALS", -1}, {"informational", -1}, {"x", -1},
	};
	ox_fault_sink *s = ox_fault_sink_hold(tmp_path("sev").c_str());
	ASSERT_NE(s, nullptr);
	for (auto &c : cases) {
		s->limit[QM_INFO] = OX_FAULT_SEVERITY_UNDEF;
		EXPECT_EQ(ox_fault_sink_addcontext(s, "info", c.text), c.level < 0 ? -1 : 0) << c.text;
		EXPECT_EQ((int)s->limit[QM_INFO], c.level < 0 ? (int)OX_FAULT_SEVERITY_UNDEF : c.level)
				<< c.text;
	}
}

TEST_F(FaultLog, ContextNamesMatchTheStartOfTheText)
{
	struct {
		const char *text;
		int context; // -1: no match
	} cases[] = {
		{"info-port", QM_INFO_PORT}, {"info", QM_INFO}, {"INFO-PORT", QM_INFO_PORT},
		{"relay-x", QM_FERRY}, {"ox:arenah", OX_ARENA}, {"ox:arenax", OX_ARENAX},
		{"ox:rbuffer", OX_RBUFFER}, {"inf", -1}, {"nothing", -1}, {"", -1},
	};
	ox_fault_sink *s = ox_fault_sink_hold(tmp_path("ctx").c_str());
	ASSERT_NE(s, nullptr);
	for (auto &c : cases) {
		for (auto &l : s->limit)
			l = OX_INFO;
		EXPECT_EQ(ox_fault_sink_addcontext(s, c.text, "debug"), c.context < 0 ? -1 : 0) << c.text;
		for (int i = 0; i < OX_FAULT_CONTEXT_UNDEF; i++)
			EXPECT_EQ(s->limit[i], i == c.context ? OX_DEBUG : OX_INFO) << c.text << " " << i;
	}
}

TEST_F(FaultLog, AnySetsEveryContextOnlyInAddcontextOrWithNullSink)
{
	ox_fault_sink *a = ox_fault_sink_hold(tmp_path("any_a").c_str());
	ox_fault_sink *b = ox_fault_sink_hold(tmp_path("any_b").c_str());
	ASSERT_EQ(ox_fault_sink_addcontext(a, "ANY", "Detail"), 0);
	for (auto l : a->limit)
		EXPECT_EQ(l, OX_DETAIL);
	// Held but not active: levels recorded, filter untouched.
	for (auto f : ox_fault_filter)
		EXPECT_EQ(f, OX_CRITICAL);

	EXPECT_EQ(ox_fault_sink_setcontext(b, "any", "debug"), -1);
	for (auto l : b->limit)
		EXPECT_EQ(l, OX_INFO);

	ASSERT_EQ(ox_fault_sink_activate_all_held(), 0);
	for (auto f : ox_fault_filter)
		EXPECT_EQ(f, OX_DETAIL);

	// A NULL sink serves every active sink, and the filter follows the most
	// permissive of them.
	ASSERT_EQ(ox_fault_sink_setcontext(NULL, "any", "warning"), 0);
	for (auto *s : {a, b})
		for (auto l : s->limit)
			EXPECT_EQ(l, OX_WARNING);
	for (auto f : ox_fault_filter)
		EXPECT_EQ(f, OX_WARNING);
	EXPECT_EQ(ox_fault_sink_addcontext(NULL, "any", "bogus"), -1);
}

TEST_F(FaultLog, FilterFollowsTheMostPermissiveSinkUnlessSetDirectly)
{
	std::string pa = tmp_path("lvl_info"), pb = tmp_path("lvl_debug");
	ox_fault_sink *a = ox_fault_sink_hold(pa.c_str());
	ox_fault_sink *b = ox_fault_sink_hold(pb.c_str());
	ASSERT_EQ(ox_fault_sink_addcontext(b, "relay", "debug"), 0);
	ASSERT_EQ(ox_fault_sink_activate_all_held(), 0);
	EXPECT_EQ(ox_fault_filter[QM_FERRY], OX_DEBUG);
	EXPECT_EQ(ox_fault_filter[QM_QM], OX_INFO);

	ox_debug(QM_FERRY, "debug one");
	ox_info(QM_FERRY, "info one");

	// Lowering the DEBUG sink by addcontext recomputes: the INFO sink holds
	// the filter at INFO.
	ASSERT_EQ(ox_fault_sink_addcontext(b, "relay", "warning"), 0);
	EXPECT_EQ(ox_fault_filter[QM_FERRY], OX_INFO);
	ox_info(QM_FERRY, "info two");

	// setcontext sets the filter directly: the INFO sink stops getting INFO.
	ASSERT_EQ(ox_fault_sink_setcontext(b, "relay", "warning"), 0);
	EXPECT_EQ(ox_fault_filter[QM_FERRY], OX_WARNING);
	EXPECT_EQ(a->limit[QM_FERRY], OX_INFO);
	ox_info(QM_FERRY, "info three");
	ox_warning(QM_FERRY, "warning one");

	auto has = [](const std::string &text, const char *msg) {
		return text.find(std::string(") ") + msg + "\n") != std::string::npos;
	};
	std::string ta = slurp(pa), tb = slurp(pb);
	EXPECT_FALSE(has(ta, "debug one"));
	EXPECT_TRUE(has(tb, "debug one"));
	EXPECT_TRUE(has(ta, "info one"));
	EXPECT_TRUE(has(tb, "info one"));
	EXPECT_TRUE(has(ta, "info two"));
	EXPECT_FALSE(has(tb, "info two"));
	EXPECT_FALSE(has(ta, "info three"));
	EXPECT_TRUE(has(ta, "warning one"));
	EXPECT_TRUE(has(tb, "warning one"));
	EXPECT_EQ(lines_of(ta).size(), 3u);
	EXPECT_EQ(lines_of(tb).size(), 3u);
}

TEST_F(FaultLog, HoldAndActivate)
{
	std::string file = tmp_path("mode");
	{
		std::ofstream pre(file);
		pre << "earlier\n";
	}
	std::string fresh = tmp_path("fresh");
	ox_fault_sink *e1 = ox_fault_sink_hold("stderr");
	ox_fault_sink *e2 = ox_fault_sink_hold("stderr2");
	ox_fault_sink *f = ox_fault_sink_hold(file.c_str());
	ox_fault_sink *n = ox_fault_sink_hold(fresh.c_str());
	ASSERT_TRUE(e1 && e2 && f && n);
	EXPECT_EQ(f->path, file);
	EXPECT_NE(f->path, file.c_str()) << "the sink keeps its own copy";
	EXPECT_EQ(ox_fault_sinks_inuse, 0);

	mode_t old = umask(0);
	int rv = ox_fault_sink_activate_all_held();
	umask(old);
	ASSERT_EQ(rv, 0);
	EXPECT_EQ(ox_fault_sinks_inuse, 4);
	EXPECT_EQ(e1->fd, 2);
	EXPECT_EQ(e2->fd, 2);
	struct stat st;
	ASSERT_EQ(stat(fresh.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0600u);
	EXPECT_EQ(fcntl(f->fd, F_GETFL) & (O_APPEND | O_NONBLOCK | O_ACCMODE),
			O_APPEND | O_NONBLOCK | O_WRONLY);

	f->fd = dup(f->fd);
	e1->fd = e2->fd = open("/dev/null", O_WRONLY); // keep the test output clean
	ox_fault_event(OX_MISC, OX_THR, OX_INFO, NULL, NULL, 0, "appended");
	EXPECT_EQ(slurp(file).substr(0, 8), "earlier\n");
	EXPECT_NE(slurp(file).find("INFO (ox:misc): appended\n"), std::string::npos);

	EXPECT_EQ(ox_fault_sink_get_id(0), e1);
	EXPECT_EQ(ox_fault_sink_get_id(3), n);
	EXPECT_EQ(ox_fault_sink_get_id(4), nullptr) << "the slot after the last active sink is past the table";
	EXPECT_EQ(ox_fault_sink_get_id(-1), nullptr);
}

TEST_F(FaultLog, NinthHoldFails)
{
	for (int i = 0; i < OX_FAULT_SINKS_MAX; i++)
		ASSERT_NE(ox_fault_sink_hold("stderr"), nullptr);
	EXPECT_EQ(ox_fault_sink_hold("stderr"), nullptr);
	EXPECT_EQ(num_held_fault_sinks, OX_FAULT_SINKS_MAX);
	EXPECT_EQ(ox_fault_sink_get_id(8), nullptr);
}

TEST_F(FaultLog, ActivationFailureLeavesNoSinkActive)
{
	ASSERT_NE(ox_fault_sink_hold("stderr"), nullptr);
	std::string bad = tmp_path("nodir") + "/sub/x.log";
	ASSERT_NE(ox_fault_sink_hold(bad.c_str()), nullptr);
	::testing::internal::CaptureStderr();
	EXPECT_EQ(ox_fault_sink_activate_all_held(), -1);
	// The stderr sink raised the filter of ox:misc before the failure, so
	// the warning passes it and, with no sink left active, reaches stderr.
	std::string err = ::testing::internal::GetCapturedStderr();
	EXPECT_NE(err.find("WARNING (ox:misc): (fault.cpp::"), std::string::npos) << err;
	EXPECT_NE(err.find(") can't open " + bad + ": No such file or directory\n"), std::string::npos) << err;
	EXPECT_EQ(ox_fault_sinks_inuse, 0);
}

TEST_F(FaultLog, SecondActivationOpensOnlyNewSinks)
{
	std::string p1 = tmp_path("act1"), p2 = tmp_path("act2");
	ox_fault_sink *a = active_file_sink(p1, "info");
	int fd = a->fd;
	ASSERT_NE(ox_fault_sink_hold(p2.c_str()), nullptr);
	ASSERT_EQ(ox_fault_sink_activate_all_held(), 0);
	EXPECT_EQ(ox_fault_sinks_inuse, 2);
	EXPECT_EQ(a->fd, fd);
}

TEST_F(FaultLog, FailedSinkWriteIsReportedAndTheNextSinkStillServed)
{
	std::string p1 = tmp_path("wfail1"), p2 = tmp_path("wfail2");
	ox_fault_sink_hold(p1.c_str());
	ox_fault_sink_hold(p2.c_str());
	ASSERT_EQ(ox_fault_sink_activate_all_held(), 0);
	close(ox_fault_sinks[0].fd);
	ox_fault_sinks[0].fd = -1;

	::testing::internal::CaptureStderr();
	ox_info(OX_MISC, "still here");
	EXPECT_EQ(::testing::internal::GetCapturedStderr(),
			"internal failure in fault message write: Bad file descriptor\n");
	EXPECT_NE(slurp(p2).find("still here\n"), std::string::npos);
}

TEST(FaultStrerror, SystemTextsAndUnknown)
{
	EXPECT_STREQ(ox_strerror(ENOENT), "No such file or directory");
	EXPECT_STREQ(ox_strerror(0), "Success");
	for (int err : {-1, 100000}) {
		errno = 0;
		EXPECT_STREQ(ox_strerror(err), "Unknown error");
		EXPECT_EQ(errno, EINVAL);
	}
}

// --- the ends of a CRITICAL event ---------------------------------------

using FaultLogDeathTest = FaultLog;

TEST_F(FaultLogDeathTest, CriticalBeforeActivationGoesToStderrAndAborts)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_EXIT(ox_crash(OX_MISC, OX_GLOBAL, "fatal %d", 42), ::testing::KilledBySignal(SIGABRT),
			"GMT: CRITICAL GLOBAL \\(ox:misc\\): \\(fault_test.cpp:TestBody:[0-9]+\\) fatal 42\n$");
}

// A scope value that is none of the three ends nothing: the line is
// written (with an empty scope name) and both forms return to the caller.
TEST_F(FaultLogDeathTest, CriticalWithAnUnknownScopeReturns)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	const ox_fault_scope odd = (ox_fault_scope)7;
	EXPECT_EXIT(
			{
				ox_crash(OX_MISC, odd, "odd %d", 1);
				ox_crash_nostack(OX_MISC, odd, "odd %d", 2);
				fprintf(stderr, "returned\n");
				exit(0);
			},
			::testing::ExitedWithCode(0), "CRITICAL  \\(ox:misc\\): .*odd 1\n(.|\n)*CRITICAL  \\(ox:misc\\): .*odd 2\nreturned\n$");
}

TEST_F(FaultLogDeathTest, CriticalWritesLineAndBacktraceToEverySinkThenAborts)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	std::string p1 = shared_tmp_path("crit1"), p2 = shared_tmp_path("crit2");
	unlink(p1.c_str());
	unlink(p2.c_str());
	ox_fault_sink_hold(p1.c_str());
	ox_fault_sink *quiet = ox_fault_sink_hold(p2.c_str());
	ox_fault_sink_addcontext(quiet, "any", "critical");
	ASSERT_EQ(ox_fault_sink_activate_all_held(), 0);

	EXPECT_EXIT(ox_crash(OX_RBUFFER, OX_PROCESS, "gone"), ::testing::KilledBySignal(SIGABRT), "");

	for (const auto &p : {p1, p2}) {
		auto got = lines_of(slurp(p));
		ASSERT_GE(got.size(), 2u) << p;
		EXPECT_NE(got[0].find("GMT: CRITICAL PROCESS (ox:rbuffer): (fault_test.cpp:"), std::string::npos);
		EXPECT_NE(got[0].find(") gone\n"), std::string::npos);
		ASSERT_LE(got.size(), 1u + OX_FAULT_BACKTRACE_DEPTH);
		for (size_t j = 1; j < got.size(); j++)
			EXPECT_EQ(got[j].rfind("critical error: backtrace: frame " + std::to_string(j - 1) + " ", 0), 0u)
					<< got[j];
		// The program exports its symbols, so the frames name functions.
		EXPECT_NE(slurp(p).find("ox_fault_event"), std::string::npos);
	}
}

void
ignore_sigint()
{
	signal(SIGINT, SIG_IGN);
}

void
returning_handler(int)
{
}

void
returning_sigint_handler()
{
	signal(SIGINT, returning_handler);
}

TEST_F(FaultLogDeathTest, ShortFormRaisesSigintAndNeverRunsOn)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_EXIT(ox_crash_nostack(QM_CFG, OX_GLOBAL, "bad value %s", "x"),
			::testing::KilledBySignal(SIGINT),
			"GMT: CRITICAL GLOBAL \\(config\\): \\(fault_test.cpp:[0-9]+\\) bad value x\n$");

	// A process that started with SIGINT ignored, or whose handler returns,
	// must still end on a fatal configuration error.
	for (void (*prepare)() : {ignore_sigint, returning_sigint_handler})
		EXPECT_EXIT(
				{
					prepare();
					ox_crash_nostack(QM_CFG, OX_PROCESS, "bad value");
					fprintf(stderr, "ran on\n");
					exit(0);
				},
				::testing::KilledBySignal(SIGABRT), "CRITICAL PROCESS \\(config\\)");
}

// --- thread scope ---------------------------------------------------------

struct ThreadEnd {
	bool nostack;
	bool cancel_disabled;
	bool returned = false;
};

void *
critical_thread(void *arg)
{
	auto *t = static_cast<ThreadEnd *>(arg);
	if (t->cancel_disabled)
		pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, NULL);
	if (t->nostack)
		ox_crash_nostack(OX_MISC, OX_THR, "thread gone");
	else
		ox_crash(OX_MISC, OX_THR, "thread gone");
	t->returned = true;
	return NULL;
}

TEST_F(FaultLog, ThreadScopeEndsOnlyTheCallingThread)
{
	std::string path = tmp_path("thr");
	active_file_sink(path, "info");
	for (bool nostack : {false, true})
		for (bool disabled : {false, true}) {
			ThreadEnd t{nostack, disabled};
			pthread_t th;
			ASSERT_EQ(pthread_create(&th, NULL, critical_thread, &t), 0);
			ASSERT_EQ(pthread_join(th, NULL), 0);
			EXPECT_FALSE(t.returned) << "nostack " << nostack << " cancel disabled " << disabled;
		}
	std::string text = slurp(path);
	size_t n = 0;
	for (const auto &l : lines_of(text))
		n += l.find("CRITICAL THREAD (ox:misc): (fault_test.cpp:") != std::string::npos;
	EXPECT_EQ(n, 4u);
	EXPECT_NE(text.find("critical error: backtrace: frame 0 "), std::string::npos);
}

} // namespace
