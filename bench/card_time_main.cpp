// vela_card_time: what client operations cost on the card's link, from the
// emulated card's APDU traces, under each link profile of
// emulator/link_model.h. Printed as the README's markdown.
//   vela_card_time profiles
//       the link profiles and their parameters
//   vela_card_time table [--road] [NAME COLD_TRACE WARM_TRACE]...
//       per client operation (a cold run and the same run again, warm):
//       commands, bytes each way, what the card computed, and the modelled
//       time under every profile. --road adds a Windows provider's road
//       through the minidriver, run here on an emulated card.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "card_taps.h"
#include "emulated_card.h"
#include "emulator/link_model.h"
#include "host_operations.h"
#include "test_host.h"

namespace {

using vela::emu::LinkProfile;
using vela::emu::LinkProfiles;
using vela::emu::LinkUse;

struct Row {
  std::string name;
  LinkUse cold;
  LinkUse warm;
};

// A provider that signs with the card's first key, as in a Windows logon
// with the card: it acquires a context, reads the card's identity, its
// container map and the first certificate and public key, verifies the PIN,
// signs, deauthenticates and lets the context go.
const char* const kProviderRoad[] = {
    "CardReadFile cardcf",   "CardReadFile cardid",     "CardReadFile mscp/cmapfile", "CardEnumFiles mscp",
    "CardReadFile mscp/ksc00", "CardGetContainerInfo 0", "CardAuthenticateEx user",   "CardSignData 0",
    "CardDeauthenticate user"};

// One run of the road on a fresh context; false when a step fails.
bool RunProviderRoad(vela::test::EmulatedCard& card, LinkUse* use) {
  vela::test::RecordingCard tap(&card);
  bool ok;
  {
    vela::test::TestHost host(tap.handle());
    ok = host.Acquire() == 0;
    for (const char* name : kProviderRoad) {
      const vela::test::HostOperation* op = vela::test::FindHostOperation(name);
      ok = ok && op != nullptr && op->run(host.get()) == 0;
    }
    host.Release();
  }
  for (const vela::test::Exchange& e : tap.exchanges()) use->Add(e.command, e.response);
  return ok;
}

bool ReadTraceFile(const std::string& path, LinkUse* use) {
  std::ifstream in(path);
  std::string error;
  if (!in) error = "cannot read it";
  if (!in || !vela::emu::ReadTrace(in, use, &error)) {
    std::cerr << "vela_card_time: " << path << ": " << error << "\n";
    return false;
  }
  return true;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, seconds < 10 ? "%.2f" : "%.1f", seconds);
  return text;
}

std::string CardWork(const LinkUse& use) {
  std::string out;
  if (use.signatures() != 0) out += std::to_string(use.signatures()) + " signature" + (use.signatures() > 1 ? "s" : "");
  if (use.agreements() != 0) {
    out += (out.empty() ? "" : ", ") + std::to_string(use.agreements()) + " agreement" +
           (use.agreements() > 1 ? "s" : "");
  }
  return out.empty() ? "-" : out;
}

void PrintProfiles() {
  std::printf("| profile | link | round trip per command | signature | key agreement | other command |\n");
  std::printf("|---|---|---:|---:|---:|---:|\n");
  for (const LinkProfile& p : LinkProfiles()) {
    std::printf("| `%s` | %s | %.0f ms | %.0f ms | %.0f ms | %.0f ms |\n", p.name, p.description, p.roundTrip * 1e3,
                p.signature * 1e3, p.agreement * 1e3, p.command * 1e3);
  }
}

void PrintTable(const std::vector<Row>& rows) {
  std::printf("| client operation | run | commands | bytes to card | bytes from card | card computes |");
  for (const LinkProfile& p : LinkProfiles()) std::printf(" %s |", p.name);
  std::printf("\n|---|---|---:|---:|---:|---|");
  for (std::size_t i = 0; i < LinkProfiles().size(); ++i) std::printf("---:|");
  std::printf("\n");
  for (const Row& row : rows) {
    for (const auto& [run, use] : {std::pair<const char*, const LinkUse*>{"cold", &row.cold}, {"warm", &row.warm}}) {
      std::printf("| %s | %s | %zu | %zu | %zu | %s |", run == std::string("cold") ? row.name.c_str() : "", run,
                  use->commands(), use->bytesToCard(), use->bytesFromCard(), CardWork(*use).c_str());
      for (const LinkProfile& p : LinkProfiles()) std::printf(" %s s |", Seconds(use->Seconds(p)).c_str());
      std::printf("\n");
    }
  }
}

int Usage() {
  std::cerr << "usage: vela_card_time profiles\n"
               "       vela_card_time table [--road] [NAME COLD_TRACE WARM_TRACE]...\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "profiles") {
    PrintProfiles();
    return 0;
  }
  if (args.empty() || args[0] != "table") return Usage();
  std::size_t next = 1;
  const bool road = args.size() > 1 && args[1] == "--road";
  if (road) ++next;
  if ((args.size() - next) % 3 != 0) return Usage();
  std::vector<Row> rows;
  for (; next < args.size(); next += 3) {
    Row row{args[next], {}, {}};
    if (!ReadTraceFile(args[next + 1], &row.cold) || !ReadTraceFile(args[next + 2], &row.warm)) return 1;
    rows.push_back(std::move(row));
  }
  if (road) {
    // Both runs on one card: the second is a provider acquiring it again.
    vela::test::EmulatedCard card;
    Row row{"Windows provider: acquire, read, sign (minidriver)", {}, {}};
    if (!RunProviderRoad(card, &row.cold) || !RunProviderRoad(card, &row.warm)) {
      std::cerr << "vela_card_time: the provider's road failed on the emulated card\n";
      return 1;
    }
    rows.push_back(std::move(row));
  }
  PrintTable(rows);
  return 0;
}
