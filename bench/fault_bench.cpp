// The cost of a log call: one the filter rejects (the common case of DEBUG
// and DETAIL calls in production), one the caller skips with
// ox_context_at_severity, and, for comparison in the same run, one that is
// formatted and written to a file sink on /dev/null.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "tamberlin/fault.h"

namespace {

void
setup_sink()
{
	static bool done = false;
	if (done)
		return;
	done = true;
	ox_fault_sink *s = ox_fault_sink_hold("/dev/null");
	ox_fault_sink_addcontext(s, "any", "info");
	ox_fault_sink_activate_all_held();
}

void
BM_RejectedByFilter(benchmark::State &state)
{
	setup_sink();
	int i = 0;
	for (auto _ : state) {
		ox_debug(QM_FERRY, "record %d of %s", i++, "ns");
		benchmark::ClobberMemory();
	}
}
BENCHMARK(BM_RejectedByFilter);

void
BM_SkippedByCaller(benchmark::State &state)
{
	setup_sink();
	int i = 0;
	for (auto _ : state) {
		if (ox_context_at_severity(QM_FERRY, OX_DEBUG))
			ox_debug(QM_FERRY, "record %d of %s", i, "ns");
		i++;
		benchmark::ClobberMemory();
	}
}
BENCHMARK(BM_SkippedByCaller);

void
BM_AcceptedToDevNull(benchmark::State &state)
{
	setup_sink();
	int i = 0;
	for (auto _ : state)
		ox_info(QM_FERRY, "record %d of %s", i++, "ns");
}
BENCHMARK(BM_AcceptedToDevNull);

} // namespace

int
main(int argc, char **argv)
{
	benchmark::Initialize(&argc, argv);
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	return 0;
}
