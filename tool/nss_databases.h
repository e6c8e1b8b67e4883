// The user's NSS databases, for `vela3ro-tool register`: the Firefox and
// Thunderbird profiles that profiles.ini names and Chromium's ~/.pki/nssdb;
// whether they are the user's own and whether a browser holds one; the
// modules in one, and adding and deleting ours with modutil. Linux only
// (tool/linux/nss_databases.cpp).
#pragma once

#include <string>
#include <vector>

namespace vela::tool {

struct NssModule {
  std::string name;
  std::string library;
};

struct NssDatabase {
  std::string owner;   // "Firefox", "Thunderbird", "Chromium"
  std::string label;   // the profile's name, or the folder
  std::string folder;
  // "sql" (cert9.db, pkcs11.txt), "dbm" (the legacy cert8.db, secmod.db),
  // or empty: no database there yet.
  std::string format;
};

// Every database of the user under `home`. Chromium's is listed even when
// absent (format empty): register makes it as Chromium would.
std::vector<NssDatabase> FindNssDatabases(const std::string& home);

// Why the databases under `home` are not the effective user's to change:
// HOME is no folder of this user's (root running with a user's HOME, as
// `sudo -E` leaves it), or empty.
std::string HomeNotOwn(const std::string& home);

// Why the database is not the effective user's to change, or empty. Its
// folder (reached through any links; where it is still to be made, the part
// of the path that exists) must be a folder of this user's, every folder
// above it this user's or root's, none of them open to anyone's renames; its
// files (cert9.db, pkcs11.txt, ...) regular files of this user's, no links:
// modutil writes through a link, out of the folder.
std::string DatabaseNotOwn(const NssDatabase& database);

// Why the database may not be changed now (a browser running on the
// profile, or a program holding a legacy database open), or empty.
std::string DatabaseHeld(const NssDatabase& database);

// The module file this tool belongs with: the build tree's beside it, else
// the one installed.
std::string DefaultPkcs11Module();

// Each returns an empty string, or what went wrong (modutil's own words).
std::string CreateDatabase(NssDatabase& database);
std::string ListModules(const NssDatabase& database, std::vector<NssModule>* modules);
std::string AddModule(const NssDatabase& database, const std::string& name, const std::string& library);
std::string DeleteModule(const NssDatabase& database, const std::string& name);

}  // namespace vela::tool
