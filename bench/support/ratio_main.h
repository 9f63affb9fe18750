// A benchmark main that runs the registered benchmarks, then prints the
// ratio of each benchmark's time to its named baseline, so every run shows
// the side-by-side comparison directly.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace le::bench {

// Collects real time (seconds) per benchmark name while printing as usual.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        // In seconds, so that pairs reported in different units compare.
        times[r.benchmark_name()] =
            r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

// pairs: {candidate, baseline}. Prints "candidate vs baseline: x.xx× faster".
inline int runWithRatios(int argc, char** argv,
                         const std::vector<std::pair<std::string, std::string>>& pairs) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CollectingReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf("\nRatios (baseline time / candidate time; > 1 means the candidate is faster):\n");
  // A name matches a run exactly or up to the options Google Benchmark
  // appends ("/min_time:2.000/real_time").
  auto find = [&](const std::string& name) -> double {
    for (const auto& kv : rep.times)
      if (kv.first == name || kv.first.compare(0, name.size() + 1, name + "/") == 0)
        return kv.second;
    return 0;
  };
  for (const auto& p : pairs) {
    const double c = find(p.first), b = find(p.second);
    if (c <= 0 || b <= 0) continue;
    std::printf("  %-40s vs %-40s %6.2fx\n", p.first.c_str(), p.second.c_str(), b / c);
  }
  benchmark::Shutdown();
  return 0;
}

}  // namespace le::bench
