// Our containers are measured against a standard-library equivalent in the
// same run; this reporter keeps each benchmark's time per iteration and prints
// the ratio of every pair at the end.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
                times_[r.run_name.function_name] = r.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    const double *time_of(const std::string &name) const
    {
        auto it = times_.find(name);
        return it == times_.end() ? nullptr : &it->second;
    }

private:
    std::map<std::string, double> times_;
};

// Runs the registered benchmarks, then prints "ratio ours/theirs" per pair:
// below 1 means ours took less time per operation.
inline int run_benchmarks_with_ratios(int argc, char **argv,
                                      const std::vector<std::pair<std::string, std::string>> &pairs)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const auto &[ours, theirs] : pairs) {
        const double *a = reporter.time_of(ours);
        const double *b = reporter.time_of(theirs);
        if (a && b && *b > 0) {
            printf("ratio %s / %s: %.3f (time per operation)\n", ours.c_str(), theirs.c_str(), *a / *b);
        }
    }
    benchmark::Shutdown();
    return 0;
}
