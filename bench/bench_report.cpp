#include "bench_report.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace vela::bench {

void KeepingReporter::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) {
    if (run.error_occurred) continue;
    Figure figure;
    figure.nanoseconds = run.GetAdjustedCPUTime() * benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                         benchmark::GetTimeUnitMultiplier(run.time_unit);
    if (auto it = run.counters.find("bytes_per_second"); it != run.counters.end()) {
      figure.bytesPerSecond = it->second.value;
    }
    figures_[run.benchmark_name()] = figure;
  }
  ConsoleReporter::ReportRuns(runs);
}

bool SaveFigures(const Figures& figures, const std::string& path) {
  std::ofstream out(path);
  for (const auto& [name, figure] : figures) out << figure.nanoseconds << ' ' << figure.bytesPerSecond << ' ' << name << '\n';
  return static_cast<bool>(out);
}

Figures LoadFigures(const std::string& path) {
  Figures figures;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Figure figure;
    std::string name;
    fields >> figure.nanoseconds >> figure.bytesPerSecond;
    std::getline(fields >> std::ws, name);
    if (!name.empty()) figures[name] = figure;
  }
  return figures;
}

namespace {

const Figure* Find(const Figures& figures, const std::string& name) {
  auto it = figures.find(name);
  return it == figures.end() ? nullptr : &it->second;
}

std::string MegabytesPerSecond(const Figure* f) {
  if (f == nullptr || f->bytesPerSecond <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof(text), "%.0f", f->bytesPerSecond / 1e6);
  return text;
}

std::string Ratio(double numerator, double denominator) {
  if (numerator <= 0 || denominator <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f", numerator / denominator);
  return text;
}

}  // namespace

void PrintDigestRatios(const Figures& figures, const Figures& masked) {
  std::printf("\nDigest and MAC primitives, MB/s (ratio = module / OpenSSL)\n\n");
  std::printf("| primitive | bytes | module | OpenSSL | ratio | OpenSSL portable | ratio portable |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (const char* primitive : {"SHA-1", "SHA-256", "SHA-512", "MD5", "HMAC-SHA-256"}) {
    for (const char* size : {"64", "1024", "65536"}) {
      const std::string tail = std::string("/") + size;
      const Figure* module = Find(figures, primitive + std::string("/module") + tail);
      const Figure* openssl = Find(figures, primitive + std::string("/openssl") + tail);
      const Figure* portable = Find(masked, primitive + std::string("/openssl") + tail);
      if (module == nullptr) continue;
      std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", primitive, size, MegabytesPerSecond(module).c_str(),
                  MegabytesPerSecond(openssl).c_str(),
                  Ratio(module->bytesPerSecond, openssl ? openssl->bytesPerSecond : 0).c_str(),
                  MegabytesPerSecond(portable).c_str(),
                  Ratio(module->bytesPerSecond, portable ? portable->bytesPerSecond : 0).c_str());
    }
  }
  const Figure* module = Find(figures, "TLS-PRF/module/48");
  const Figure* openssl = Find(figures, "TLS-PRF/openssl/48");
  const Figure* portable = Find(masked, "TLS-PRF/openssl/48");
  if (module != nullptr) {
    std::printf("\nTLS 1.0 PRF, one 48-byte output (speed-up = OpenSSL time / module time)\n\n");
    std::printf("| | module | OpenSSL | speed-up | OpenSSL portable | speed-up portable |\n");
    std::printf("|---|---:|---:|---:|---:|---:|\n");
    std::printf("| ns per call | %.0f | %.0f | %s | %.0f | %s |\n", module->nanoseconds,
                openssl ? openssl->nanoseconds : 0, Ratio(openssl ? openssl->nanoseconds : 0, module->nanoseconds).c_str(),
                portable ? portable->nanoseconds : 0,
                Ratio(portable ? portable->nanoseconds : 0, module->nanoseconds).c_str());
  }
}

}  // namespace vela::bench
