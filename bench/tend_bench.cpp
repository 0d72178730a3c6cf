// One tend of a 10-node cluster on loopback: the steady tend (one check per
// node over its persistent info socket) and the tend after a map change
// (every node's replica lists fetched and applied to 4096 partitions).
// The comparison figure is a bare info round trip on one connection, the
// floor of each node's check.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include "bench_ratio.h"

#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_info.h"
#include "tamberlin/ox_log.h"
#include "testkit/fake_cluster.h"

namespace {

struct bench_cluster {
    fake_cluster *fc = nullptr;
    ka_cluster *asc = nullptr;
    bench_cluster()
    {
        ka::g_log_level = ka::OX_ERROR;
        fake_cluster_cfg cfg;
        cfg.n_nodes = 10;
        cfg.n_partitions = 4096;
        fc = fake_cluster_create(cfg);
        tamberlin_cluster_init();
        asc = tamberlin_cluster_create();
        tamberlin_cluster_change_tend_speed(asc, 1000000); // tended here only
        tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000);
    }
    ~bench_cluster()
    {
        tamberlin_cluster_destroy(asc);
        fake_cluster_destroy(fc);
    }
};

void BM_TendSteady(benchmark::State &state)
{
    bench_cluster b;
    if (tamberlin_cluster_get_nodecount(b.asc) != 10) {
        state.SkipWithError("cluster not discovered");
        return;
    }
    for (auto _ : state) {
        cluster_tend(b.asc);
    }
    state.counters["nodes"] = tamberlin_cluster_get_nodecount(b.asc);
}
BENCHMARK(BM_TendSteady)->Unit(benchmark::kMicrosecond);

void BM_TendAfterMapChange(benchmark::State &state)
{
    bench_cluster b;
    int k = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fake_cluster_assign_all(b.fc, k % 10, (k + 1) % 10);
        k++;
        state.ResumeTiming();
        cluster_tend(b.asc);
    }
}
BENCHMARK(BM_TendAfterMapChange)->Unit(benchmark::kMicrosecond);

void BM_InfoRoundTrip(benchmark::State &state)
{
    bench_cluster b;
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)fake_cluster_port(b.fc, 0));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (auto _ : state) {
        char names[] = "node";
        char *values = nullptr;
        tamberlin_info_host(&sa, names, &values, 1000, false);
        free(values);
    }
}
BENCHMARK(BM_InfoRoundTrip)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    return run_benchmarks_with_ratios(argc, argv, {{"BM_TendSteady", "BM_InfoRoundTrip"}});
}
