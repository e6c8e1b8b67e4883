// vela_bench: the module's primitives beside OpenSSL, the module's own cost
// per host operation, and the wire cost of each operation.
//   --vela_save=FILE    keep the figures in FILE and print no tables (the run
//                       with OpenSSL masked to its portable code)
//   --vela_masked=FILE  the figures of such a run, for the second ratio
#include <cstring>
#include <iostream>
#include <string>

#include "bench_report.h"

int main(int argc, char** argv) {
  std::string savePath;
  std::string maskedPath;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--vela_save=", 12) == 0) {
      savePath = argv[i] + 12;
    } else if (std::strncmp(argv[i], "--vela_masked=", 14) == 0) {
      maskedPath = argv[i] + 14;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  vela::bench::RegisterDigestBenchmarks();
  vela::bench::RegisterHostOperationBenchmarks();
  vela::bench::KeepingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  if (!savePath.empty()) return vela::bench::SaveFigures(reporter.figures(), savePath) ? 0 : 1;
  const vela::bench::Figures masked =
      maskedPath.empty() ? vela::bench::Figures{} : vela::bench::LoadFigures(maskedPath);
  vela::bench::PrintDigestRatios(reporter.figures(), masked);
  vela::bench::PrintHostOperationCosts(reporter.figures());
  vela::bench::PrintWireCostTable();
  return 0;
}
