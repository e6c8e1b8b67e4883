// vela3ro-tool's commands and the session they run in. A command lives in a
// file of its own (cmd_NAME.cpp) and registers itself:
//
//   int Ls(Args& args, Session& session) { ... }
//   const RegisterCommand kLs{{"ls", "[DIR]", "lists a directory of the card", Ls}};
//
// Sections of the scinfo report register the same way (RegisterScinfoSection).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/minidriver_abi.h"
#include "host/module_host.h"
#include "host/pcsc_connection.h"
#include "tool/report.h"

namespace vela::tool {

using host::HostPtr;
using host::Value;

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // no card, a refusal, an operation that failed
inline constexpr int kExitUsage = 2;

// The words after the command name. Options are taken out by name; what is
// left are the positional arguments.
class Args {
 public:
  explicit Args(std::vector<std::string> words) : words_(std::move(words)) {}
  // True if "--name" was given (taken out).
  bool Flag(std::string_view name);
  // The value of "--name VALUE" or "--name=VALUE" (taken out); the last one wins.
  // A "--name" without a value is an error (see error()).
  std::optional<std::string> Option(std::string_view name);
  // What is left once the options are taken; sets error() for an unknown
  // "--option".
  std::vector<std::string> Positional();
  const std::string& error() const { return error_; }

 private:
  std::vector<std::string> words_;
  std::string error_;
};

struct SessionOptions {
  std::string modulePath;  // empty: found beside the tool
  std::string reader;      // empty: the first reader whose card the module accepts
  bool json = false;
};

// A reader as seen when the session chose one, and what the module said.
struct ReaderOutcome {
  std::string name;
  std::string outcome;  // "acquired", "no card", or the result by name
};

// The host's side of one card: module loaded, PC/SC connected, context
// acquired; everything is freed when the session ends.
class Session {
 public:
  explicit Session(SessionOptions options) : options_(std::move(options)) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Loads the module and acquires a context on the chosen card. On failure
  // error() says why; readers() holds what every reader answered.
  bool Open();

  CARD_DATA* card() { return host_ ? host_->data() : nullptr; }
  const std::string& reader() const { return reader_; }
  const std::vector<std::uint8_t>& atr() const { return connection_.atr(); }
  const std::vector<ReaderOutcome>& readers() const { return readers_; }
  // The readers as a report list: name and outcome of each.
  Value ReaderList() const;
  const std::string& modulePath() const;
  const SessionOptions& options() const { return options_; }
  bool json() const { return options_.json; }

  // The output of the command, printed when it returns.
  Value& report() { return report_; }
  // Notes a module answer as plain text ("CardReadFile cardid" ->
  // "SCARD_E_UNSUPPORTED_FEATURE (0x80100022)") and returns the code.
  DWORD Answer(const std::string& call, DWORD code);
  const Value& answers() const { return answers_; }

  // A virtual file read through pfnCardReadFile (dir null: the root), noted
  // as an answer. The module's buffer goes back to the host at once.
  DWORD ReadFile(const char* directory, const char* file, std::vector<BYTE>* contents);

  // Notes a failure for the report (JSON) or standard error (text); returns
  // kExitFailure.
  int Fail(const std::string& message);
  const std::string& error() const { return error_; }

  // Prints the report as text or JSON; an error goes to standard error as
  // well. Nothing is printed for an empty report without an error.
  void Print() const;

 private:
  SessionOptions options_;
  std::unique_ptr<host::Module> module_;
  host::PcscConnection connection_;
  std::unique_ptr<host::CardHost> host_;
  std::string reader_;
  std::vector<ReaderOutcome> readers_;
  Value report_ = Value::Object();
  Value answers_ = Value::Object();
  std::string error_;
};

using CommandFunction = int (*)(Args& args, Session& session);

struct Command {
  const char* name;
  const char* usage;  // the arguments after the name, e.g. "[DIR]"
  const char* help;   // one line
  CommandFunction run;
  // The command finds readers, cards and the module itself (check): it runs
  // without the session's card.
  bool ownSession = false;
};

struct RegisterCommand {
  explicit RegisterCommand(Command command);
};
// Every registered command, by name.
std::vector<Command> Commands();
const Command* FindCommand(std::string_view name);

// A section of the scinfo report: adds its fields to `report`; reports a
// failure in its own fields, never by ending the command.
using ScinfoSectionFunction = void (*)(Session& session, Value& report);

struct ScinfoSection {
  int order;  // sections are shown by increasing order; the card's basics are 0
  const char* name;
  ScinfoSectionFunction add;
};

struct RegisterScinfoSection {
  explicit RegisterScinfoSection(ScinfoSection section);
};
std::vector<ScinfoSection> ScinfoSections();

}  // namespace vela::tool
