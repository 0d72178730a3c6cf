// The main of every test program. Each run gets a directory of its own under
// $FERRY_TEST_TMP (or /tmp when a test is run by hand), exported to the tests
// as FERRY_TEST_TMP, and removed with everything in it when the run ends, so
// no run leaves files behind and parallel runs never share a path. A death
// test's child (which runs this main again) reuses its parent's directory.
// Set FERRY_TEST_KEEP_TMP=1 to keep the directory for a look after a run.
#include <gtest/gtest.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    if (remove(path) != 0 && errno != ENOENT)
        fprintf(stderr, "test main: cannot remove %s: %s\n", path, strerror(errno));
    return 0;
}

// Returns the directory this process owns, or "" when it owns none.
std::string make_run_dir(const char *argv0)
{
    if (getenv("FERRY_TEST_TMP_OWNED"))
        return "";
    const char *base = getenv("FERRY_TEST_TMP");
    std::string dir = base && *base ? base : "/tmp";
    mkdir(dir.c_str(), 0755);
    const char *name = strrchr(argv0, '/');
    std::string tmpl = dir + "/" + (name ? name + 1 : argv0) + ".XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        fprintf(stderr, "test main: cannot make a directory under %s: %s\n", dir.c_str(), strerror(errno));
        exit(1);
    }
    setenv("FERRY_TEST_TMP", tmpl.c_str(), 1);
    setenv("FERRY_TEST_TMP_OWNED", "1", 1);
    return tmpl;
}

} // namespace

int main(int argc, char **argv)
{
    std::string dir = make_run_dir(argv[0]);
    pid_t owner = getpid();
    testing::InitGoogleTest(&argc, argv);
    int rv = RUN_ALL_TESTS();
    const char *keep = getenv("FERRY_TEST_KEEP_TMP");
    if (!dir.empty() && getpid() == owner && !(keep && *keep == '1'))
        nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return rv;
}
