// A console reporter that also keeps each benchmark's time per iteration, so
// a program can print ratios between benchmarks measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halvorine::bench {

// True in the smoke runs of the test suite (HALVORINE_BENCH_SMOKE set and not
// "0"): they only show that a program still builds and runs, so one
// repetition of each benchmark is enough.
inline bool smoke_run() {
  const char* value = std::getenv("HALVORINE_BENCH_SMOKE");
  return value != nullptr && *value != '\0' && std::string(value) != "0";
}

// Repeats a benchmark and reports the fastest repetition besides mean and
// median; ratios are taken between the fastest repetitions.
inline benchmark::internal::Benchmark* repeated(benchmark::internal::Benchmark* b, int times = 7) {
  return b->Repetitions(smoke_run() ? 1 : times)
      ->ComputeStatistics("min",
                          [](const std::vector<double>& v) {
                            double m = v.front();
                            for (double x : v) m = x < m ? x : m;
                            return m;
                          })
      ->ReportAggregatesOnly(true);
}

class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // A single run, or the "min" of repetitions (the least disturbed one
      // on a machine shared with other work).
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool minimum = run.run_type == Run::RT_Aggregate && run.aggregate_name == "min";
      if (run.error_occurred || !(single || minimum)) continue;
      const std::string name = run.run_name.str();
      const double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
      seconds_[name] = run.GetAdjustedRealTime() / unit;
      cpu_seconds_[name] = run.GetAdjustedCPUTime() / unit;
      for (const auto& [counter_name, counter] : run.counters) {
        counters_[name + ":" + counter_name] = counter.value;
      }
    }
  }

  // Seconds per iteration of a benchmark that ran, by its full name.
  std::optional<double> seconds(const std::string& name) const {
    const auto it = seconds_.find(name);
    if (it == seconds_.end()) return std::nullopt;
    return it->second;
  }
  // CPU seconds per iteration of the calling thread: for single-threaded
  // benchmarks on a machine shared with other work this leaves out the time
  // the thread was not running at all.
  std::optional<double> cpu_seconds(const std::string& name) const {
    const auto it = cpu_seconds_.find(name);
    if (it == cpu_seconds_.end()) return std::nullopt;
    return it->second;
  }
  std::optional<double> counter(const std::string& name, const std::string& counter) const {
    const auto it = counters_.find(name + ":" + counter);
    if (it == counters_.end()) return std::nullopt;
    return it->second;
  }

  enum class Clock { real, cpu };

  // "label  a/b" when both ran.
  void print_ratio(const std::string& label, const std::string& a, const std::string& b,
                   Clock clock = Clock::real) const {
    const auto ta = clock == Clock::real ? seconds(a) : cpu_seconds(a);
    const auto tb = clock == Clock::real ? seconds(b) : cpu_seconds(b);
    if (!ta || !tb || *tb <= 0) return;
    std::printf("  %-60s %7.3f  (%.1f / %.1f us, %s time)\n", label.c_str(), *ta / *tb, *ta * 1e6,
                *tb * 1e6, clock == Clock::real ? "real" : "cpu");
  }

 private:
  std::map<std::string, double> seconds_;
  std::map<std::string, double> cpu_seconds_;
  std::map<std::string, double> counters_;
};

}  // namespace halvorine::bench
