// What the benchmark binary registers and how it reports: Google Benchmark's
// console output, then the tables of the README (ratios, costs, wire cost).
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace vela::bench {

void RegisterDigestBenchmarks();
void RegisterHostOperationBenchmarks();

struct Figure {
  double nanoseconds = 0;     // CPU time per iteration
  double bytesPerSecond = 0;  // 0 when not a throughput benchmark
};
using Figures = std::map<std::string, Figure>;

// The console reporter that also keeps every figure by benchmark name.
class KeepingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  const Figures& figures() const { return figures_; }

 private:
  Figures figures_;
};

bool SaveFigures(const Figures& figures, const std::string& path);
Figures LoadFigures(const std::string& path);

// Module / OpenSSL for every primitive and size: the module on the paths it
// chooses beside OpenSSL's own SIMD code, and the module forced to its
// portable code beside OpenSSL masked to its portable code (`masked`, may be
// empty).
void PrintDigestRatios(const Figures& figures, const Figures& masked);
// The module's own time per host operation and what the card adds.
void PrintHostOperationCosts(const Figures& figures);
// APDUs and bytes per host operation, on the emulated card.
void PrintWireCostTable();

}  // namespace vela::bench
