// register, unregister: the PKCS#11 module in every NSS database of the user,
// where Firefox, Thunderbird and Chromium look for security devices. Nothing
// is changed while a browser holds one of the databases, nor where HOME or a
// database is not the user's own (root running with a user's HOME would
// leave the user's files root's); other modules are left alone; a second
// register changes nothing.
#include <cstdlib>
#include <filesystem>

#include "tool/command.h"
#include "tool/nss_databases.h"

namespace vela::tool {
namespace {

// The name the module has in NSS (what Firefox shows under Security Devices).
constexpr const char* kNssName = "vela3ro";

struct Outcome {
  bool changed = false;
  std::string text;
};

Outcome RegisterIn(NssDatabase& database, const std::string& library) {
  if (database.format.empty()) {
    if (database.owner != "Chromium") {
      return {false, "no NSS database yet: start " + database.owner + " once with this profile, then register again"};
    }
    // As Chromium makes it on its first start.
    if (std::string error = CreateDatabase(database); !error.empty()) return {false, "failed: " + error};
  }
  std::vector<NssModule> modules;
  if (std::string error = ListModules(database, &modules); !error.empty()) return {false, "failed: " + error};
  const NssModule* ours = nullptr;
  for (const NssModule& module : modules) {
    if (module.name == kNssName) ours = &module;
  }
  if (ours != nullptr && ours->library == library) return {false, "unchanged: registered as \"" + std::string(kNssName) + "\""};
  for (const NssModule& module : modules) {
    if (module.library == library && module.name != kNssName) {
      return {false, "unchanged: the module is there already as \"" + module.name + "\""};
    }
  }
  std::string was;
  if (ours != nullptr) {
    was = ours->library;
    if (std::string error = DeleteModule(database, kNssName); !error.empty()) return {false, "failed: " + error};
  }
  if (std::string error = AddModule(database, kNssName, library); !error.empty()) {
    // The entry that was there goes back: a failed update leaves it as it was.
    if (!was.empty()) AddModule(database, kNssName, was);
    return {false, "failed: " + error};
  }
  return {true, was.empty() ? "added \"" + std::string(kNssName) + "\"" : "updated \"" + std::string(kNssName) + "\" (was " + was + ")"};
}

Outcome UnregisterIn(const NssDatabase& database) {
  if (database.format.empty()) return {false, "unchanged: no NSS database"};
  std::vector<NssModule> modules;
  if (std::string error = ListModules(database, &modules); !error.empty()) return {false, "failed: " + error};
  bool there = false;
  for (const NssModule& module : modules) there = there || module.name == kNssName;
  if (!there) return {false, "unchanged: not registered"};
  if (std::string error = DeleteModule(database, kNssName); !error.empty()) return {false, "failed: " + error};
  return {true, "removed \"" + std::string(kNssName) + "\""};
}

int Change(Args& args, Session& session, bool add) {
  if (!args.Positional().empty() || !args.error().empty()) {
    return session.Fail(args.error().empty() ? "no arguments expected" : args.error());
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return session.Fail("HOME is not set");
  if (const std::string why = HomeNotOwn(home); !why.empty()) {
    return session.Fail("nothing changed: " + why +
                        "; run the command as the user whose HOME it is (for every user at once, see the README)");
  }
  std::string library;
  if (add) {
    std::error_code ec;
    const std::string given = session.options().modulePath.empty() ? DefaultPkcs11Module() : session.options().modulePath;
    library = std::filesystem::absolute(given, ec).lexically_normal().string();
    if (ec || !std::filesystem::is_regular_file(library, ec)) {
      return session.Fail("no PKCS#11 module at " + given + " (give one with --module PATH)");
    }
    session.report().Set("module", library);
  }
  std::vector<NssDatabase> databases = FindNssDatabases(home);
  Value& list = session.report().Set("databases", Value::List());
  // Every database is checked before any is touched.
  int foreign = 0;
  int held = 0;
  for (const NssDatabase& database : databases) {
    std::string why = DatabaseNotOwn(database);
    if (!why.empty()) {
      ++foreign;
    } else if (why = DatabaseHeld(database); !why.empty()) {
      ++held;
    } else {
      continue;
    }
    Value& entry = list.Append(Value::Object());
    entry.Set("program", database.owner);
    entry.Set("profile", database.label);
    entry.Set("folder", database.folder);
    entry.Set("result", "refused: " + why);
  }
  if (foreign != 0) return session.Fail("nothing changed: a database is not this user's own (see above)");
  if (held != 0) return session.Fail("nothing changed: a database is in use (see above)");
  int changed = 0;
  int failed = 0;
  for (NssDatabase& database : databases) {
    const Outcome outcome = add ? RegisterIn(database, library) : UnregisterIn(database);
    changed += outcome.changed ? 1 : 0;
    failed += outcome.text.starts_with("failed") ? 1 : 0;
    Value& entry = list.Append(Value::Object());
    entry.Set("program", database.owner);
    entry.Set("profile", database.label);
    entry.Set("folder", database.folder);
    entry.Set("result", outcome.text);
  }
  session.report().Set("changed", static_cast<unsigned>(changed));
  if (failed != 0) return session.Fail(std::to_string(failed) + " database(s) could not be changed");
  if (add && changed != 0) {
    session.report().Set("next", "restart the browsers: they read the module list when they start");
  }
  return kExitOk;
}

int Register(Args& args, Session& session) { return Change(args, session, true); }
int Unregister(Args& args, Session& session) { return Change(args, session, false); }

const RegisterCommand kRegister{{"register", "[--module PKCS11_MODULE]",
                                 "adds the PKCS#11 module to the user's Firefox, Thunderbird and Chromium", Register,
                                 true}};
const RegisterCommand kUnregister{{"unregister", "", "removes it from them again", Unregister, true}};

}  // namespace
}  // namespace vela::tool
