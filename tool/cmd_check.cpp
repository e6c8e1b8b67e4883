// check: the help desk's question, "why does this card not work here?". For
// every reader: the card's ATR, what the platform's smart-card stack makes
// of it (tool/check.h), the settings that apply, the module's acquire, and
// a verdict with its reasons.
#include <algorithm>

#include "host/result_names.h"
#include "tool/check.h"
#include "tool/command.h"
#include "tool/settings_source.h"

namespace vela::tool {
namespace {

using host::ResultName;
using host::ResultText;

constexpr DWORD kNoReadersAvailable = 0x8010002E;  // SCARD_E_NO_READERS_AVAILABLE

std::string Joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : "; ") + part;
  return out;
}

Value ProblemList(const std::vector<std::string>& problems) {
  Value list = Value::List();
  for (const std::string& problem : problems) list.Append(problem);
  return list;
}

enum class CardOutcome { kServed, kNotServed, kOtherCard };

// One card: the stack's view, the module's acquire, and the verdict; its
// problems are added to `problems`.
CardOutcome CheckOneCard(const std::string& reader, host::PcscConnection& pcsc, const SessionOptions& options,
                         Value& out, std::vector<std::string>* allProblems) {
  const std::vector<std::uint8_t>& atr = pcsc.atr();
  out.Set("atr", host::HexBytes(atr.data(), atr.size()));
  std::vector<std::string> problems;
  std::unique_ptr<host::Module> module;
  const bool registered = CheckCard(atr, options.modulePath, out, &problems, &module);
  DWORD acquired = SCARD_E_UNSUPPORTED_FEATURE;
  if (module) {
    Value& acquire = out.Set("acquire", Value::Object());
    acquire.Set("module", module->path());
    host::CardHost card(*module, pcsc.context(), pcsc.card(), atr);
    acquired = card.Acquire();
    acquire.Set("result", ResultText(acquired));
    if (acquired == 0) acquire.Set("version", static_cast<unsigned>(card->dwVersion));
    card.Delete();
    if (acquired != 0) problems.push_back("the module refuses the card: " + ResultText(acquired));
  }
  const char* stack = ThisPlatform().stack;
  // A card the module refuses as unknown, and that nothing registers for
  // it, is some other card: reported, not a fault.
  const bool otherCard = acquired == SCARD_E_UNKNOWN_CARD && !registered;
  if (otherCard) {
    out.Set("verdict", "another card: the module does not serve it (" + ResultName(acquired) + ")");
    return CardOutcome::kOtherCard;
  }
  out.Set("problems", ProblemList(problems));
  if (problems.empty()) {
    out.Set("verdict", std::string("ok: ") + stack + " uses the module for the card in " + reader);
    return CardOutcome::kServed;
  }
  out.Set("verdict", std::string("not ok: ") + stack + " will not use the module for the card in " + reader + ": " +
                         Joined(problems));
  for (const std::string& problem : problems) allProblems->push_back(reader + ": " + problem);
  return CardOutcome::kNotServed;
}

int Check(Args& args, Session& session) {
  if (!args.Positional().empty() || !args.error().empty()) {
    session.Fail(args.error().empty() ? "usage: check" : args.error());
    return kExitUsage;
  }
  const SessionOptions& options = session.options();
  Value& report = session.report();
  std::vector<std::string> machineProblems;
  CheckMachine(options.modulePath, report["machine"], &machineProblems);
  report.Set("settings", ConfiguredSettings());

  host::PcscConnection pcsc;
  std::vector<std::string> names;
  DWORD rc = pcsc.Establish();
  if (rc != 0) {
    machineProblems.push_back("cannot reach the PC/SC service: " + ResultText(rc) + ThisPlatform().serviceHint);
  } else if (rc = pcsc.ListReaders(&names); rc == kNoReadersAvailable || (rc == 0 && names.empty())) {
    machineProblems.push_back("no reader found");
  } else if (rc != 0) {
    machineProblems.push_back("cannot list the readers: " + ResultText(rc));
  }
  if (!options.reader.empty()) {
    if (std::find(names.begin(), names.end(), options.reader) == names.end() && machineProblems.empty()) {
      machineProblems.push_back("no reader named \"" + options.reader + "\"");
    }
    names = {options.reader};
  }

  // What the verdict rests on: the machine's problems, then each card's.
  std::vector<std::string> problems = machineProblems;
  int served = 0, notServed = 0;
  if (machineProblems.empty()) {
    Value& readers = report.Set("readers", Value::List());
    for (const std::string& name : names) {
      Value& entry = readers.Append(Value::Object());
      entry.Set("name", name);
      rc = pcsc.Connect(name);
      if (rc == SCARD_E_NO_SMARTCARD || rc == SCARD_W_REMOVED_CARD) {
        entry.Set("card", "none");
        continue;
      }
      if (rc != 0) {
        entry.Set("card", "cannot connect: " + ResultText(rc));
        problems.push_back(name + ": cannot connect to the card: " + ResultText(rc));
        ++notServed;
        continue;
      }
      const CardOutcome outcome = CheckOneCard(name, pcsc, options, entry, &problems);
      served += outcome == CardOutcome::kServed;
      notServed += outcome == CardOutcome::kNotServed;
      pcsc.Disconnect();
    }
  }
  std::string verdict;
  if (!machineProblems.empty()) {
    verdict = "not ok: " + Joined(machineProblems);
  } else if (served + notServed == 0) {
    problems.push_back("no card of the module in any reader");
    verdict = "not ok: no card of the module in any reader";
  } else if (notServed > 0) {
    verdict = "not ok: " + std::to_string(notServed) + " card(s) not served (see each reader's verdict)";
  } else {
    verdict = "ok";
  }
  report.Set("problems", ProblemList(problems));
  report.Set("verdict", verdict);
  return verdict == "ok" ? kExitOk : kExitFailure;
}

const RegisterCommand kCheck{{"check", "",
                              "why the module is (or is not) used for the card in each reader: the help desk's check",
                              Check, true}};

}  // namespace
}  // namespace vela::tool
