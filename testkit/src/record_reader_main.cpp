// Reads records back through the client library, for the demo: each record
// named by its sequence number (the digest fls_digest_of gives it) is read
// from the local cluster and from every remote cluster, and each remote copy
// is compared with the local one (set name and bins; the generation is each
// cluster's own).
//   record_reader --local PORT --remote NAME=PORT... [--ns NAME] SEQ...
// Prints one block per record; exit status 0 when every remote copy equals
// the local one, 1 when one differs or is missing, 2 for bad arguments.
#include "testkit/fake_local_server.h"

#include "program_args.h"

#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_request.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/tamberlin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// The program embeds the client, so it names its build.
const char *tamberlin_build_string = "record-reader";

namespace {

struct copy {
    int rv = -1;
    uint32_t generation = 0;
    std::string set;
    std::vector<std::pair<std::string, std::string>> bins; // name, printed value
};

std::string printed(const ka_object &o)
{
    switch (o.type) {
    case KA_INT:
        return std::to_string(o.u.i64);
    case KA_STR:
        return "\"" + std::string(o.u.str, o.sz) + "\"";
    default:
        return "(" + std::to_string(o.sz) + " bytes of type " + std::to_string((int)o.type) + ")";
    }
}

copy read_copy(ka_cluster *asc, const char *ns, uint64_t seq)
{
    copy c;
    ka::ox_digest d;
    fls_digest_of(seq, d.digest);
    ka_bin *bins = nullptr;
    int n_bins = 0;
    char set[KA_SET_NAME_SZ] = "";
    uint32_t ttl = 0;
    c.rv = tamberlin_get_all_digest_getsetname(asc, ns, &d, &bins, &n_bins, 2000, &c.generation, set, &ttl);
    c.set = set;
    for (int i = 0; i < n_bins; i++)
        c.bins.push_back({bins[i].bin_name, printed(bins[i].object)});
    tamberlin_bins_free(bins, n_bins);
    free(bins);
    return c;
}

// The value cut for a line of its own.
std::string shown(const std::string &v)
{
    return v.size() <= 48 ? v : v.substr(0, 44) + "...\"";
}

ka_cluster *connect(const char *what, int port)
{
    ka_cluster *asc = tamberlin_cluster_create();
    if (!asc || tamberlin_cluster_add_host(asc, "127.0.0.1", (short)port, 5000) != 0) {
        fprintf(stderr, "record_reader: no node of %s answers on 127.0.0.1:%d\n", what, port);
        return nullptr;
    }
    return asc;
}

int usage()
{
    fprintf(stderr, "usage: record_reader --local PORT --remote NAME=PORT... [--ns NAME] SEQ...\n");
    return 2;
}

bool parse_port(const char *s, int *port)
{
    long v = testkit_parse_count(s, 1, 65535);
    if (v < 0)
        return false;
    *port = (int)v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int local_port = 0;
    std::vector<std::pair<std::string, int>> remotes;
    std::string ns = "test";
    std::vector<uint64_t> seqs;
    for (int i = 1; i < argc; i++) {
        std::string opt = argv[i];
        if (opt == "--local" && i + 1 < argc) {
            if (!parse_port(argv[++i], &local_port))
                return usage();
        } else if (opt == "--remote" && i + 1 < argc) {
            std::string v = argv[++i];
            size_t eq = v.find('=');
            int port = 0;
            if (eq == std::string::npos || eq == 0 || !parse_port(v.c_str() + eq + 1, &port))
                return usage();
            remotes.push_back({v.substr(0, eq), port});
        } else if (opt == "--ns" && i + 1 < argc) {
            ns = argv[++i];
        } else {
            char *end = nullptr;
            unsigned long long seq = strtoull(argv[i], &end, 10);
            if (!*argv[i] || *end || argv[i][0] == '-')
                return usage();
            seqs.push_back(seq);
        }
    }
    if (!local_port || remotes.empty() || seqs.empty())
        return usage();

    ka::g_log_level = ka::OX_WARN; // no version line in the demo's output
    if (tamberlin_init() != 0) {
        fprintf(stderr, "record_reader: the client library did not start\n");
        return 1;
    }
    ka_cluster *local = connect("the local cluster", local_port);
    std::vector<ka_cluster *> remote_asc;
    for (const auto &[name, port] : remotes)
        remote_asc.push_back(connect(name.c_str(), port));
    int status = local ? 0 : 1;
    for (size_t i = 0; local && i < remotes.size(); i++)
        status |= remote_asc[i] ? 0 : 1;
    for (size_t k = 0; status == 0 && k < seqs.size(); k++) {
        uint64_t seq = seqs[k];
        copy here = read_copy(local, ns.c_str(), seq);
        printf("  record %lu:\n", (unsigned long)seq);
        if (here.rv != 0) {
            printf("    %-6s not found (result %d)\n", "local", here.rv);
        } else {
            for (const auto &[bin, value] : here.bins)
                printf("    %-6s set %s, bin %s = %s\n", "local", here.set.c_str(), bin.c_str(), shown(value).c_str());
        }
        for (size_t i = 0; i < remotes.size(); i++) {
            copy there = read_copy(remote_asc[i], ns.c_str(), seq);
            const char *name = remotes[i].first.c_str();
            if (there.rv != 0) {
                printf("    %-6s not found (result %d)%s\n", name, there.rv, here.rv == 0 ? "  <- MISSING" : "");
                status |= here.rv == 0;
                continue;
            }
            bool same = here.rv == 0 && there.set == here.set && there.bins == here.bins;
            printf("    %-6s generation %u, %s\n", name, there.generation,
                   same ? "same set and bins as local" : "DIFFERS from local");
            status |= !same;
        }
    }
    tamberlin_shutdown();
    return status;
}
