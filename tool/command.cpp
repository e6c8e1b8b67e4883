#include "tool/command.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "host/result_names.h"

namespace vela::tool {

using host::ResultName;
using host::ResultText;

constexpr DWORD kNoReadersAvailable = 0x8010002E;  // SCARD_E_NO_READERS_AVAILABLE

bool Args::Flag(std::string_view name) {
  bool found = false;
  std::erase_if(words_, [&](const std::string& word) {
    const bool match = word.size() == name.size() + 2 && word.starts_with("--") && word.substr(2) == name;
    found = found || match;
    return match;
  });
  return found;
}

std::optional<std::string> Args::Option(std::string_view name) {
  const std::string flag = "--" + std::string(name);
  std::optional<std::string> value;
  for (std::size_t i = 0; i < words_.size();) {
    if (words_[i] == flag) {
      if (i + 1 >= words_.size()) {
        error_ = flag + " needs a value";
        words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(i));
        continue;
      }
      value = words_[i + 1];
      words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(i), words_.begin() + static_cast<std::ptrdiff_t>(i) + 2);
    } else if (words_[i].starts_with(flag + "=")) {
      value = words_[i].substr(flag.size() + 1);
      words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  return value;
}

std::vector<std::string> Args::Positional() {
  for (const std::string& word : words_) {
    if (word.starts_with("--") && error_.empty()) error_ = "unknown option " + word;
  }
  return words_;
}

Session::~Session() {
  // The context goes before the card handle, the handle before the module.
  host_.reset();
  connection_.Disconnect();
  if (const std::size_t left = host::HostHeap::Live(); left != 0) {
    std::fprintf(stderr, "vela3ro-tool: %zu host blocks left over\n", left);
  }
}

const std::string& Session::modulePath() const {
  static const std::string none;
  return module_ ? module_->path() : none;
}

bool Session::Open() {
  // On Windows the card database names the module for each card: it is
  // loaded once a card's ATR is known, unless --module names one.
  const bool perCard = options_.modulePath.empty() && host::ModuleFoundPerCard();
  std::string loadError;
  if (!perCard) {
    module_ = host::Module::Load(options_.modulePath, &loadError);
    if (!module_) return Fail(loadError), false;
  }

  DWORD rc = connection_.Establish();
  if (rc != 0) {
    const char* hint = rc == SCARD_E_NO_SERVICE ? " (is pcscd running?)" : "";
    return Fail("cannot reach the PC/SC service: " + ResultText(rc) + hint), false;
  }
  std::vector<std::string> names;
  rc = connection_.ListReaders(&names);
  if (rc == kNoReadersAvailable || (rc == 0 && names.empty())) {
    return Fail("no reader found"), false;
  }
  if (rc != 0) return Fail("cannot list the readers: " + ResultText(rc)), false;
  if (!options_.reader.empty()) {
    if (std::find(names.begin(), names.end(), options_.reader) == names.end()) {
      for (const std::string& name : names) readers_.push_back({name, "not asked"});
      return Fail("no reader named \"" + options_.reader + "\""), false;
    }
    names = {options_.reader};
  }

  bool anyCard = false;
  std::string refusals;
  for (const std::string& name : names) {
    if (host_) {
      readers_.push_back({name, "not asked"});
      continue;
    }
    rc = connection_.Connect(name);
    if (rc == SCARD_E_NO_SMARTCARD || rc == SCARD_W_REMOVED_CARD) {
      readers_.push_back({name, "no card"});
      continue;
    }
    anyCard = true;
    if (rc != 0) {
      readers_.push_back({name, "cannot connect: " + ResultName(rc)});
      refusals += "\n  " + name + ": cannot connect: " + ResultText(rc);
      continue;
    }
    if (!module_) {
      module_ = host::Module::LoadForCard(connection_.atr(), &loadError);
      if (!module_) {
        readers_.push_back({name, "no module: " + loadError});
        refusals += "\n  " + name + ": " + loadError;
        connection_.Disconnect();
        continue;
      }
    }
    auto candidate = std::make_unique<host::CardHost>(*module_, connection_.context(), connection_.card(),
                                                      connection_.atr());
    rc = candidate->Acquire();
    Answer("CardAcquireContext", rc);
    if (rc == 0) {
      host_ = std::move(candidate);
      reader_ = name;
      readers_.push_back({name, "acquired"});
      continue;
    }
    readers_.push_back({name, "refused: " + ResultName(rc)});
    refusals += "\n  " + name + ": the module refuses the card: " + ResultText(rc);
    candidate.reset();
    connection_.Disconnect();
  }
  if (host_) return true;
  if (!anyCard) return Fail(names.size() == 1 ? "no card in " + names.front() : "no card in any reader"), false;
  return Fail("no card that the module accepts:" + refusals), false;
}

Value Session::ReaderList() const {
  Value list = Value::List();
  for (const ReaderOutcome& reader : readers_) {
    Value& entry = list.Append(Value::Object());
    entry.Set("name", reader.name);
    entry.Set("outcome", reader.outcome);
  }
  return list;
}

DWORD Session::Answer(const std::string& call, DWORD code) {
  answers_.Set(call, ResultText(code));
  return code;
}

DWORD Session::ReadFile(const char* directory, const char* file, std::vector<BYTE>* contents) {
  contents->clear();
  CARD_DATA* cd = card();
  const std::string call = std::string("CardReadFile ") + (directory ? std::string(directory) + "/" : "") + file;
  if (cd == nullptr || cd->pfnCardReadFile == nullptr) return Answer(call, SCARD_E_UNSUPPORTED_FEATURE);
  // The interface takes non-const names.
  std::string dir = directory ? directory : "";
  std::string name = file;
  BYTE* data = nullptr;
  DWORD length = 0;
  const DWORD rc = cd->pfnCardReadFile(cd, directory ? dir.data() : nullptr, name.data(), 0, &data, &length);
  HostPtr<BYTE> owned(data);
  if (rc == 0 && data != nullptr) contents->assign(data, data + length);
  return Answer(call, rc);
}

int Session::Fail(const std::string& message) {
  if (error_.empty()) error_ = message;
  return kExitFailure;
}

void Session::Print() const {
  if (options_.json) {
    if (report_.fields().empty() && error_.empty()) return;
    Value out = report_;
    if (!error_.empty()) out.Set("error", error_);
    std::fputs(host::RenderJson(out).c_str(), stdout);
  } else {
    std::fputs(host::RenderText(report_).c_str(), stdout);
  }
  std::fflush(stdout);
  if (!error_.empty()) std::fprintf(stderr, "vela3ro-tool: %s\n", error_.c_str());
}

namespace {

std::map<std::string, Command, std::less<>>& CommandTable() {
  static std::map<std::string, Command, std::less<>> table;
  return table;
}

std::vector<ScinfoSection>& SectionTable() {
  static std::vector<ScinfoSection> table;
  return table;
}

}  // namespace

RegisterCommand::RegisterCommand(Command command) { CommandTable()[command.name] = command; }

std::vector<Command> Commands() {
  std::vector<Command> commands;
  for (const auto& [name, command] : CommandTable()) commands.push_back(command);
  return commands;
}

const Command* FindCommand(std::string_view name) {
  auto it = CommandTable().find(name);
  return it == CommandTable().end() ? nullptr : &it->second;
}

RegisterScinfoSection::RegisterScinfoSection(ScinfoSection section) { SectionTable().push_back(section); }

std::vector<ScinfoSection> ScinfoSections() {
  std::vector<ScinfoSection> sections = SectionTable();
  std::stable_sort(sections.begin(), sections.end(),
                   [](const ScinfoSection& a, const ScinfoSection& b) { return a.order < b.order; });
  return sections;
}

}  // namespace vela::tool
