// The module's own CPU cost per host operation. The card answers from a
// recording of the emulated card (ReplayCard: a copy per answer), so the
// figure is the module's work; the same operation on the emulated card itself
// shows what a card that computes adds.
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "bench_report.h"
#include "card_taps.h"
#include "emulated_card.h"
#include "host_operations.h"
#include "test_host.h"

namespace vela::bench {
namespace {

using test::CardEndpoint;
using test::Exchange;

// A handle whose card can be swapped under a live context.
class SwitchedCard : public CardEndpoint {
 public:
  explicit SwitchedCard(CardEndpoint* target) : target_(target), handle_(test::AttachCard(this)) {}
  ~SwitchedCard() override { test::DetachCard(handle_); }
  void Use(CardEndpoint* target) { target_ = target; }
  std::uint32_t Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) override {
    return target_->Transmit(command, response);
  }
  std::uintptr_t handle() const { return handle_; }

 private:
  CardEndpoint* target_;
  std::uintptr_t handle_;
};

constexpr char kAcquire[] = "CardAcquireContext + CardDeleteContext";

std::string BenchName(const test::HostOperation& op) {
  return op.undo == nullptr ? op.name : std::string(op.name) + " + undo";
}

void RunAcquire(benchmark::State& state, bool replayed) {
  test::EmulatedCard emulated;
  test::RecordingCard tap(&emulated);
  SwitchedCard card(&tap);
  test::TestHost host(card.handle());
  // One acquire and delete recorded, then replayed (or the card itself).
  if (host.Acquire() != 0) return state.SkipWithError("acquire failed");
  host.Release();
  test::ReplayCard replay(tap.exchanges());
  if (replayed) card.Use(&replay);
  for (auto _ : state) {
    host.Acquire();
    host.Release();
  }
  if (replay.mismatches() != 0) state.SkipWithError("the module did not repeat itself");
}

void RunOperation(benchmark::State& state, const test::HostOperation& op, bool replayed) {
  test::EmulatedCard emulated;
  test::RecordingCard tap(&emulated);
  SwitchedCard card(&tap);
  test::TestHost host(card.handle());
  if (host.Acquire() != 0 || test::Prepare(host.get(), op.needs) != 0) {
    return state.SkipWithError("no context");
  }
  tap.Clear();
  if (op.run(host.get()) != 0) return state.SkipWithError("the operation fails");
  if (op.undo != nullptr) op.undo(host.get());
  test::ReplayCard replay(tap.exchanges());
  if (replayed) card.Use(&replay);
  // Pausing the timer costs more than most operations, so an operation that
  // needs undoing is timed together with its undo (the name says so).
  for (auto _ : state) {
    op.run(host.get());
    if (op.undo != nullptr) op.undo(host.get());
  }
  card.Use(&tap);
  if (replay.mismatches() != 0) state.SkipWithError("the module did not repeat itself");
}

}  // namespace

void RegisterHostOperationBenchmarks() {
  for (bool replayed : {true, false}) {
    const std::string suffix = replayed ? "/module" : "/emulated card";
    benchmark::RegisterBenchmark((kAcquire + suffix).c_str(), RunAcquire, replayed)
        ->Unit(benchmark::kMicrosecond);
    for (const test::HostOperation& op : test::HostOperations()) {
      benchmark::RegisterBenchmark((BenchName(op) + suffix).c_str(),
                                   [&op, replayed](benchmark::State& s) { RunOperation(s, op, replayed); })
          ->Unit(benchmark::kMicrosecond);
    }
  }
}

void PrintHostOperationCosts(const Figures& figures) {
  std::printf("\nCPU time per host operation, microseconds (module: the card answers from a recording)\n\n");
  std::printf("| operation | module | on the emulated card |\n|---|---:|---:|\n");
  auto row = [&](const std::string& name) {
    auto module = figures.find(name + "/module");
    auto emulated = figures.find(name + "/emulated card");
    if (module == figures.end()) return;
    std::printf("| %s | %.2f | %.1f |\n", name.c_str(), module->second.nanoseconds / 1e3,
                emulated == figures.end() ? 0.0 : emulated->second.nanoseconds / 1e3);
  };
  row(kAcquire);
  for (const test::HostOperation& op : test::HostOperations()) row(BenchName(op));
}

void PrintWireCostTable() {
  std::printf("\nWire cost per host operation on the emulated card (default personalisation)\n\n");
  std::printf("| operation | result | APDUs | bytes to card | bytes from card | commands (INS x count) |\n");
  std::printf("|---|---|---:|---:|---:|---|\n");
  auto row = [](const char* name, DWORD result, const std::vector<Exchange>& trace) {
    std::map<int, int> byIns;
    for (const Exchange& e : trace) ++byIns[e.command.size() > 1 ? e.command[1] : -1];
    std::string commands;
    for (const auto& [ins, count] : byIns) {
      char part[16];
      std::snprintf(part, sizeof(part), "%s%02X x%d", commands.empty() ? "" : ", ", ins, count);
      commands += part;
    }
    const test::WireCost cost = test::CostOf(trace);
    std::printf("| %s | %s | %zu | %zu | %zu | %s |\n", name, result == 0 ? "0" : "error", cost.apdus, cost.bytesOut,
                cost.bytesIn, commands.c_str());
  };
  {
    test::EmulatedCard card;
    DWORD result = 0;
    const std::vector<Exchange> trace = test::TraceAcquire(&card, &result);
    row("CardAcquireContext", result, trace);
  }
  for (const test::HostOperation& op : test::HostOperations()) {
    test::EmulatedCard card;
    DWORD result = 0;
    const std::vector<Exchange> trace = test::TraceOperation(&card, op, &result);
    row(op.name, result, trace);
  }
}

}  // namespace vela::bench
