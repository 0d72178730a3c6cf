// Every client test program: the library's log lines are held per test and
// printed only when that test fails, so a passing run shows no expected noise
// while a failing one keeps everything the library said. A test that catches
// the log itself puts back ka_test_log_callback when it is done.
#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>

#include <mutex>
#include <string>

#include "ka_quiet_log.h"

namespace {

// Leaked on purpose: threads of a stand-in may still log while the program ends.
struct held_log {
    std::mutex lock;
    std::string text;
};
held_log *g_held = new held_log;

void hold_line(ka::ox_log_level, const char *fmt, ...)
{
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(g_held->lock);
    if (g_held->text.size() < (1u << 20)) {
        g_held->text += line;
        g_held->text += '\n';
    }
}

class PrintOnFailure : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override
    {
        std::lock_guard<std::mutex> g(g_held->lock);
        g_held->text.clear();
    }
    void OnTestEnd(const ::testing::TestInfo &info) override
    {
        std::lock_guard<std::mutex> g(g_held->lock);
        if (info.result()->Failed() && !g_held->text.empty())
            fprintf(stderr, "-- the client library logged:\n%s--\n", g_held->text.c_str());
        g_held->text.clear();
    }
};

bool install()
{
    ka::g_log_callback = hold_line;
    ::testing::UnitTest::GetInstance()->listeners().Append(new PrintOnFailure);
    return true;
}

} // namespace

ka::ox_log_callback ka_test_log_callback = hold_line;
static bool g_installed = install();
