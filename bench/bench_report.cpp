#include "bench_report.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "crypto/sha_paths.h"

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
  const ShaPaths paths = ActiveShaPaths();
  struct Row {
    const char* primitive;
    const char* path;  // the module's path on this processor
  };
  const Row rows[] = {{"SHA-1", ShaPathName(paths.sha1)},
                      {"SHA-256", ShaPathName(paths.sha256)},
                      {"SHA-512", ShaPathName(paths.sha512)},
                      {"MD5", "portable"},
                      {"HMAC-SHA-256", ShaPathName(paths.sha256)}};
  std::printf("\nDigest and MAC primitives, MB/s (ratio = module / OpenSSL; the portable module beside OpenSSL's "
              "portable code)\n\n");
  std::printf("| primitive | bytes | module path | module | OpenSSL | ratio | module portable | OpenSSL portable "
              "| ratio portable |\n");
  std::printf("|---|---:|---|---:|---:|---:|---:|---:|---:|\n");
  for (const Row& row : rows) {
    for (const char* size : {"64", "1024", "65536"}) {
      const std::string name = row.primitive;
      const std::string tail = std::string("/") + size;
      const Figure* module = Find(figures, name + "/module" + tail);
      const Figure* modulePortable = Find(figures, name + "/portable" + tail);
      const Figure* openssl = Find(figures, name + "/openssl" + tail);
      const Figure* opensslPortable = Find(masked, name + "/openssl" + tail);
      if (module == nullptr) continue;
      // MD5 has one path only: the module is its own portable code.
      if (modulePortable == nullptr) modulePortable = module;
      std::printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", row.primitive, size, row.path,
                  MegabytesPerSecond(module).c_str(), MegabytesPerSecond(openssl).c_str(),
                  Ratio(module->bytesPerSecond, openssl ? openssl->bytesPerSecond : 0).c_str(),
                  MegabytesPerSecond(modulePortable).c_str(), MegabytesPerSecond(opensslPortable).c_str(),
                  Ratio(modulePortable->bytesPerSecond, opensslPortable ? opensslPortable->bytesPerSecond : 0).c_str());
    }
  }
  const Figure* module = Find(figures, "TLS-PRF/module/48");
  const Figure* modulePortable = Find(figures, "TLS-PRF/portable/48");
  const Figure* openssl = Find(figures, "TLS-PRF/openssl/48");
  const Figure* opensslPortable = Find(masked, "TLS-PRF/openssl/48");
  auto nanoseconds = [](const Figure* f) { return f ? f->nanoseconds : 0; };
  if (module != nullptr) {
    std::printf("\nTLS 1.0 PRF, one 48-byte output, ns per call (speed-up = OpenSSL time / module time; SHA-1 on "
                "the %s path)\n\n",
                ShaPathName(paths.sha1));
    std::printf("| | module | OpenSSL | speed-up | module portable | OpenSSL portable | speed-up portable |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    std::printf("| ns per call | %.0f | %.0f | %s | %.0f | %.0f | %s |\n", nanoseconds(module), nanoseconds(openssl),
                Ratio(nanoseconds(openssl), nanoseconds(module)).c_str(), nanoseconds(modulePortable),
                nanoseconds(opensslPortable), Ratio(nanoseconds(opensslPortable), nanoseconds(modulePortable)).c_str());
  }
}

}  // namespace vela::bench
