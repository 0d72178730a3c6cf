// Host lookup through a scripted resolver (every answer the resolver can
// give), the real resolver on literal addresses, and the address map.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "ka_cluster_fixture.h"
#include "tamberlin/ka_lookup.h"

using namespace cluster_test;

namespace {

struct answer {
    int rv;
    int herr;
    bool entry;
    int addrtype;
};

struct script {
    std::vector<answer> answers; // the last one repeats
    size_t next = 0;
    std::vector<std::string> names;
    std::vector<size_t> buf_sizes;
};

script *g_script = nullptr;
in_addr_t g_addrs[2];
char *g_addr_list[3];

int scripted_resolver(const char *name, int, struct hostent *ret, char *buf, size_t buflen, struct hostent **result,
                      int *h_errnop)
{
    script *s = g_script;
    const answer &a = s->answers[std::min(s->next, s->answers.size() - 1)];
    s->next++;
    s->names.push_back(name);
    s->buf_sizes.push_back(buflen);
    memset(buf, 0xEE, buflen); // the lookup must cope with the whole buffer used
    *h_errnop = a.herr;
    *result = nullptr;
    if (a.entry) {
        g_addrs[0] = htonl(0x0A000001);
        g_addrs[1] = htonl(0x0A000002);
        g_addr_list[0] = (char *)&g_addrs[0];
        g_addr_list[1] = (char *)&g_addrs[1];
        g_addr_list[2] = nullptr;
        memset(ret, 0, sizeof(*ret));
        ret->h_addrtype = a.addrtype;
        ret->h_length = 4;
        ret->h_addr_list = g_addr_list;
        *result = ret;
    }
    return a.rv;
}

struct scripted {
    script s;
    explicit scripted(std::vector<answer> answers)
    {
        s.answers = std::move(answers);
        g_script = &s;
        g_ka_resolver = scripted_resolver;
    }
    ~scripted()
    {
        g_ka_resolver = gethostbyname2_r;
        g_script = nullptr;
    }
};

struct addr_vec {
    ox_vector v;
    addr_vec() { ox_vector_init(&v, sizeof(struct sockaddr_in), 4, 0); }
    ~addr_vec() { ox_vector_destroy(&v); }
    uint32_t size() { return ox_vector_size(&v); }
    struct sockaddr_in at(uint32_t i) { return *(struct sockaddr_in *)ox_vector_getp(&v, i); }
};

const answer OK = {0, 0, true, AF_INET};

TEST(Lookup, ResolverAnswers)
{
    struct {
        const char *what;
        std::vector<answer> answers;
        int rv;
        size_t calls;
        const char *log;
    } cases[] = {
        {"found", {OK}, 0, 1, ""},
        {"no host", {{0, HOST_NOT_FOUND, false, 0}}, -1, 1, "gethostbyname says no host at name.example"},
        {"try again thrice", {{0, TRY_AGAIN, false, 0}}, -1, 3, "maxmimum retries failed"},
        {"try again then found", {{0, TRY_AGAIN, false, 0}, OK}, 0, 2, "returned TRY_AGAIN"},
        {"form error", {{0, NO_RECOVERY, false, 0}}, -1, 1, "says form error (errno 3)"},
        {"no data", {{0, NO_DATA, false, 0}}, -1, 1, "says invalid address (errno 4)"},
        {"unknown code", {{0, 77, false, 0}}, -1, 1, "returned an unknown error (errno 77)"},
        // A buffer that is too small comes with no entry: it is judged first
        // and does not count as a temporary failure.
        {"erange then found",
         {{ERANGE, NETDB_INTERNAL, false, 0}, {ERANGE, NETDB_INTERNAL, false, 0}, {ERANGE, NETDB_INTERNAL, false, 0},
          {ERANGE, NETDB_INTERNAL, false, 0}, OK},
         0, 5, ""},
        {"erange forever", {{ERANGE, NETDB_INTERNAL, false, 0}}, -1, 11, "malloc fail"},
        {"eagain with entry", {{EAGAIN, 0, true, AF_INET}}, -1, 3, "gethostbyname returned EAGAIN, try again"},
        {"timed out", {{ETIMEDOUT, 0, true, AF_INET}}, -1, 1, "gethostbyname for name.example timed out"},
        {"other error", {{EIO, 5, true, AF_INET}}, -1, 1, "gethostbyname returned an unknown error 5 5"},
        {"not ipv4", {{0, 0, true, AF_INET6}}, -1, 1, "unknown address type 10"},
    };
    for (auto &c : cases) {
        log_capture log;
        scripted sc(c.answers);
        addr_vec v;
        char name[] = "name.example";
        EXPECT_EQ(c.rv, ka_lookup(nullptr, name, 3000, &v.v)) << c.what;
        EXPECT_EQ(c.calls, sc.s.names.size()) << c.what;
        EXPECT_EQ(c.rv == 0 ? 2u : 0u, v.size()) << c.what;
        if (*c.log) {
            EXPECT_TRUE(log.has(c.log)) << c.what << ": " << c.log;
        }
    }
}

TEST(Lookup, BufferGrowsFromTheStack)
{
    scripted sc({{ERANGE, NETDB_INTERNAL, false, 0}, {ERANGE, NETDB_INTERNAL, false, 0}, OK});
    addr_vec v;
    char name[] = "h";
    EXPECT_EQ(0, ka_lookup(nullptr, name, 3000, &v.v));
    EXPECT_EQ((std::vector<size_t>{1024, 2048, 4096}), sc.s.buf_sizes);
    ASSERT_EQ(2u, v.size());
    EXPECT_EQ(AF_INET, v.at(0).sin_family);
    EXPECT_EQ(htons(3000), v.at(0).sin_port);
    EXPECT_EQ(htonl(0x0A000001), v.at(0).sin_addr.s_addr);
    EXPECT_EQ(htonl(0x0A000002), v.at(1).sin_addr.s_addr);
}

TEST(Lookup, LiteralAddressAndUniqueAppend)
{
    addr_vec v;
    char name[] = "127.0.0.1";
    EXPECT_EQ(0, ka_lookup(nullptr, name, 3000, &v.v));
    ASSERT_EQ(1u, v.size());
    struct sockaddr_in want = loopback(3000);
    EXPECT_EQ(0, memcmp(&want, ox_vector_getp(&v.v, 0), sizeof(want)));
    EXPECT_EQ(0, ka_lookup(nullptr, name, 3000, &v.v));
    EXPECT_EQ(1u, v.size());
    EXPECT_EQ(0, ka_lookup(nullptr, name, 3000, nullptr));
    // Ports above 32767 arrive as negative shorts and stay valid.
    EXPECT_EQ(0, ka_lookup(nullptr, name, (short)65535, &v.v));
    EXPECT_EQ(htons(65535), v.at(1).sin_port);
}

TEST(Lookup, RefusesMissingNameAndPortZero)
{
    log_capture log;
    addr_vec v;
    char name[] = "127.0.0.1";
    char empty[] = "";
    EXPECT_EQ(-1, ka_lookup(nullptr, name, 0, &v.v));
    EXPECT_EQ(-1, ka_lookup(nullptr, nullptr, 3000, &v.v));
    EXPECT_EQ(-1, ka_lookup(nullptr, empty, 3000, &v.v));
    EXPECT_TRUE(log.has("no host at NONAME"));
    EXPECT_EQ(0u, v.size());
}

TEST(Lookup, AddressMapSubstitutesOnce)
{
    ka_cluster *asc = quiet_cluster();
    ASSERT_NE(nullptr, asc);
    char a[] = "a", b[] = "b", c[] = "c", x[] = "x";
    tamberlin_cluster_add_addr_map(asc, a, b);
    tamberlin_cluster_add_addr_map(asc, b, c);
    tamberlin_cluster_add_addr_map(asc, x, x);
    {
        log_capture log;
        scripted sc({OK});
        EXPECT_EQ(0, ka_lookup(asc, a, 3000, nullptr));
        EXPECT_EQ(0, ka_lookup(asc, x, 3000, nullptr));
        EXPECT_EQ(0, ka_lookup(asc, c, 3000, nullptr));
        EXPECT_EQ(0, ka_lookup(nullptr, a, 3000, nullptr));
        EXPECT_EQ((std::vector<std::string>{"b", "x", "c", "a"}), sc.s.names);
        EXPECT_TRUE(log.has("Using b instead of a"));
    }
    // A second pair for the same name replaces the first one's target.
    char d[] = "d";
    tamberlin_cluster_add_addr_map(asc, a, d);
    EXPECT_EQ(3u, ox_vector_size(&asc->host_addr_map_v));
    {
        scripted sc({OK});
        EXPECT_EQ(0, ka_lookup(asc, a, 3000, nullptr));
        EXPECT_EQ((std::vector<std::string>{"d"}), sc.s.names);
    }
    tamberlin_cluster_destroy(asc);
}

} // namespace
