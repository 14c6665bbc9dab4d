// A console reporter that also keeps each benchmark's time per iteration, so
// a program can print ratios between benchmarks measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halvorine::bench {

class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      seconds_[run.benchmark_name()] =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      for (const auto& [name, counter] : run.counters) {
        counters_[run.benchmark_name() + ":" + name] = counter.value;
      }
    }
  }

  // Seconds per iteration of a benchmark that ran, by its full name.
  std::optional<double> seconds(const std::string& name) const {
    const auto it = seconds_.find(name);
    if (it == seconds_.end()) return std::nullopt;
    return it->second;
  }
  std::optional<double> counter(const std::string& name, const std::string& counter) const {
    const auto it = counters_.find(name + ":" + counter);
    if (it == counters_.end()) return std::nullopt;
    return it->second;
  }

  // "label: a/b = ratio" when both ran.
  void print_ratio(const std::string& label, const std::string& a, const std::string& b) const {
    const auto ta = seconds(a);
    const auto tb = seconds(b);
    if (!ta || !tb || *tb <= 0) return;
    std::printf("  %-58s %7.3f   (%s / %s)\n", label.c_str(), *ta / *tb, a.c_str(), b.c_str());
  }

 private:
  std::map<std::string, double> seconds_;
  std::map<std::string, double> counters_;
};

}  // namespace halvorine::bench
