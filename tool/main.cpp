// vela3ro-tool: a host for the module on the command line. It loads the
// module, acquires a context on a card through PC/SC as a provider does, runs
// one command and frees everything again.
#include <cstdio>
#include <string>
#include <vector>

#include "tool/command.h"

namespace vela::tool {
namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: vela3ro-tool [--module PATH] [--reader NAME] [--json] COMMAND [ARGS]\n"
               "  --module PATH  the module to load (default: on Linux libvela3ro.so of this build or of the\n"
               "                 installation; on Windows the DLL the card database names for the card)\n"
               "  --reader NAME  the reader to use (default: the first whose card the module accepts)\n"
               "  --json         print the result as JSON\n"
               "commands:\n");
  for (const Command& command : Commands()) {
    std::string synopsis = std::string(command.name) + " " + command.usage;
    std::fprintf(out, "  %-28s %s\n", synopsis.c_str(), command.help);
  }
}

int Main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  Args global(words);
  if (global.Flag("help") || words.empty() || words.front() == "-h") {
    PrintUsage(stdout);
    return words.empty() ? kExitUsage : kExitOk;
  }
  SessionOptions options;
  options.modulePath = global.Option("module").value_or("");
  options.reader = global.Option("reader").value_or("");
  options.json = global.Flag("json");
  if (!global.error().empty()) {
    std::fprintf(stderr, "vela3ro-tool: %s\n", global.error().c_str());
    return kExitUsage;
  }

  // The command is the first word that is not an option; the rest is its own.
  std::vector<std::string> rest;
  const Command* command = nullptr;
  std::string name;
  for (std::string& word : global.Positional()) {
    if (command == nullptr && name.empty() && !word.starts_with("-")) {
      name = word;
      command = FindCommand(name);
    } else {
      rest.push_back(std::move(word));
    }
  }
  if (command == nullptr) {
    if (name.empty()) {
      std::fprintf(stderr, "vela3ro-tool: no command given\n");
    } else {
      std::fprintf(stderr, "vela3ro-tool: unknown command \"%s\"\n", name.c_str());
    }
    PrintUsage(stderr);
    return kExitUsage;
  }

  Session session(options);
  Args args(rest);
  int status = kExitFailure;
  if (command->ownSession) {
    status = command->run(args, session);
  } else if (session.Open()) {
    status = command->run(args, session);
  } else {
    if (!session.readers().empty()) session.report().Set("readers", session.ReaderList());
    if (!session.answers().fields().empty()) session.report().Set("moduleAnswers", session.answers());
  }
  session.Print();
  return status;
}

}  // namespace
}  // namespace vela::tool

int main(int argc, char** argv) { return vela::tool::Main(argc, argv); }
