// Our code is measured against a fair baseline in the same run. One
// back-to-back pair of runs swings by a quarter on a shared machine, so both
// sides run as many short repetitions in random interleaved order, and the
// figure printed is the median of the per-repetition ratios.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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
                auto &v = times_[r.run_name.function_name];
                size_t i = r.repetition_index < 0 ? v.size() : (size_t)r.repetition_index;
                if (v.size() <= i)
                    v.resize(i + 1, 0.0);
                v[i] = r.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Median over repetitions of time(ours) / time(theirs); false when either
    // side did not run.
    bool median_ratio(const std::string &ours, const std::string &theirs, double *ratio, size_t *reps) const
    {
        auto a = times_.find(ours);
        auto b = times_.find(theirs);
        if (a == times_.end() || b == times_.end())
            return false;
        std::vector<double> r;
        for (size_t i = 0; i < a->second.size() && i < b->second.size(); i++) {
            if (a->second[i] > 0 && b->second[i] > 0)
                r.push_back(a->second[i] / b->second[i]);
        }
        if (r.empty())
            return false;
        std::sort(r.begin(), r.end());
        size_t n = r.size();
        *ratio = n % 2 ? r[n / 2] : (r[n / 2 - 1] + r[n / 2]) / 2;
        *reps = n;
        return true;
    }

    // Median time per iteration of one benchmark over its repetitions.
    bool median_time(const std::string &name, double *t) const
    {
        auto a = times_.find(name);
        if (a == times_.end())
            return false;
        std::vector<double> v;
        for (double x : a->second) {
            if (x > 0)
                v.push_back(x);
        }
        if (v.empty())
            return false;
        std::sort(v.begin(), v.end());
        size_t n = v.size();
        *t = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
        return true;
    }

private:
    std::map<std::string, std::vector<double>> times_;
};

// Initialises the library with interleaved short repetitions unless the caller
// chose otherwise on the command line. Returns false on a bad argument.
inline bool init_interleaved(int *argc, char **argv, int repetitions = 9, double min_time = 0.1)
{
    static std::vector<std::string> extra_storage;
    static std::vector<char *> args;
    bool has_reps = false, has_inter = false, has_min = false;
    for (int i = 1; i < *argc; i++) {
        has_reps |= strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
        has_inter |= strncmp(argv[i], "--benchmark_enable_random_interleaving", 38) == 0;
        has_min |= strncmp(argv[i], "--benchmark_min_time", 20) == 0;
    }
    extra_storage.clear();
    if (!has_reps)
        extra_storage.push_back("--benchmark_repetitions=" + std::to_string(repetitions));
    if (!has_inter)
        extra_storage.push_back("--benchmark_enable_random_interleaving=true");
    if (!has_min)
        extra_storage.push_back("--benchmark_min_time=" + std::to_string(min_time));
    args.assign(argv, argv + *argc);
    for (std::string &s : extra_storage)
        args.push_back(s.data());
    args.push_back(nullptr);
    int n = (int)args.size() - 1;
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data()))
        return false;
    *argc = n;
    return true;
}

// Prints "ratio ours / theirs" per pair, the median of per-repetition ratios:
// below 1 means ours took less time per operation.
inline void print_ratios(const RatioReporter &reporter,
                         const std::vector<std::pair<std::string, std::string>> &pairs)
{
    for (const auto &[ours, theirs] : pairs) {
        double r;
        size_t n;
        if (reporter.median_ratio(ours, theirs, &r, &n)) {
            printf("ratio %s / %s: %.3f (time per operation, median of %zu interleaved repetitions)\n",
                   ours.c_str(), theirs.c_str(), r, n);
        }
    }
}

inline int run_benchmarks_with_ratios(int argc, char **argv,
                                      const std::vector<std::pair<std::string, std::string>> &pairs)
{
    if (!init_interleaved(&argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_ratios(reporter, pairs);
    benchmark::Shutdown();
    return 0;
}
