// The user's NSS databases on Linux, and modutil (Debian libnss3-tools) to
// change them: NSS's own tool keeps pkcs11.txt and secmod.db as NSS writes
// them.
#include "tool/nss_databases.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

namespace vela::tool {
namespace {

namespace fs = std::filesystem;

constexpr const char* kInstalledModule = "/usr/lib/x86_64-linux-gnu/pkcs11/libvela3ro-pkcs11.so";

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::string Format(const fs::path& folder) {
  if (Exists(folder / "cert9.db") || Exists(folder / "pkcs11.txt")) return "sql";
  if (Exists(folder / "cert8.db") || Exists(folder / "secmod.db")) return "dbm";
  return "";
}

// A user's name, for messages ("uid 1234" where the name is unknown).
std::string UserName(uid_t uid) {
  const passwd* user = getpwuid(uid);
  return user != nullptr && user->pw_name != nullptr ? user->pw_name : "uid " + std::to_string(uid);
}

// " belongs to alice, not to root"
std::string BelongsTo(uid_t owner) { return " belongs to " + UserName(owner) + ", not to " + UserName(geteuid()); }

// A folder anyone may write to without the sticky bit: anyone may rename
// what is in it and put a link in its place.
bool OpenToRenames(const struct stat& info) { return (info.st_mode & (S_IWOTH | S_ISVTX)) == S_IWOTH; }

// Why `folder` (which exists) is not this user's to write in: reached
// through its links, it is no folder of the effective user's, or a folder
// on the way to it from / belongs to someone other than this user and root,
// or may have its entries renamed by anyone. What is checked is where the
// path leads now; only this user and root can make it lead elsewhere.
std::string FolderNotOwn(const fs::path& folder) {
  char* real = realpath(folder.c_str(), nullptr);
  if (real == nullptr) return "cannot follow " + folder.string() + ": " + std::strerror(errno);
  const fs::path resolved(real);
  std::free(real);
  const std::string shown = resolved == folder ? folder.string() : folder.string() + " (" + resolved.string() + ")";
  struct stat info {};
  if (stat(resolved.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return shown + " is not a folder";
  if (info.st_uid != geteuid()) return shown + BelongsTo(info.st_uid);
  if (OpenToRenames(info)) return shown + " may be written by anyone";
  for (fs::path above = resolved.parent_path();; above = above.parent_path()) {
    if (stat(above.c_str(), &info) != 0) return "cannot read " + above.string() + ": " + std::strerror(errno);
    if (info.st_uid != geteuid() && info.st_uid != 0) {
      return "the folder " + above.string() + " above " + shown + " belongs to " + UserName(info.st_uid);
    }
    if (OpenToRenames(info)) return "anyone may rename what is in " + above.string() + ", above " + shown;
    if (above == above.parent_path()) return "";
  }
}

// The files of an NSS database, of both formats.
constexpr const char* kDatabaseFiles[] = {"cert9.db", "key4.db", "pkcs11.txt", "cert8.db", "key3.db", "secmod.db"};

// The profiles a profiles.ini names ([ProfileN] sections, Path= relative to
// the file unless IsRelative=0), each once.
void AddProfiles(const fs::path& root, const std::string& owner, std::vector<NssDatabase>* out) {
  std::ifstream ini(root / "profiles.ini");
  if (!ini) return;
  struct Entry {
    std::string name, path;
    bool relative = true;
  };
  std::vector<Entry> entries;
  bool inProfile = false;
  std::string line;
  while (std::getline(ini, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("[")) {
      inProfile = line.starts_with("[Profile");
      if (inProfile) entries.emplace_back();
      continue;
    }
    if (!inProfile) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (key == "Name") entries.back().name = value;
    if (key == "Path") entries.back().path = value;
    if (key == "IsRelative") entries.back().relative = value != "0";
  }
  for (const Entry& entry : entries) {
    if (entry.path.empty()) continue;
    const fs::path folder = entry.relative ? root / entry.path : fs::path(entry.path);
    std::error_code ec;
    const fs::path canonical = fs::weakly_canonical(folder, ec);
    const std::string where = ec ? folder.string() : canonical.string();
    bool seen = false;
    for (const NssDatabase& known : *out) seen = seen || known.folder == where;
    if (seen || !fs::is_directory(where, ec)) continue;
    out->push_back({owner, entry.name.empty() ? entry.path : entry.name, where, Format(where)});
  }
}

// Runs a program (no shell) and gives its exit status and output.
int Run(const std::vector<std::string>& argv, std::string* output) {
  output->clear();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, STDIN_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  close(fds[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = read(fds[0], buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR)) {
    if (got > 0) output->append(buffer, static_cast<std::size_t>(got));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string DbDir(const NssDatabase& database) { return database.format + ":" + database.folder; }

// modutil's words for a failure: its output without blank lines.
std::string Failure(const std::string& what, const std::string& output) {
  std::string text;
  for (char c : output) text += c == '\n' ? ' ' : c;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return what + (text.empty() ? "" : ": " + text);
}

// One module spec of modutil -rawlist: key=value words, values maybe quoted.
std::map<std::string, std::string> SpecWords(const std::string& line) {
  std::map<std::string, std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    const std::size_t equals = line.find('=', i);
    if (equals == std::string::npos) break;
    const std::string key = line.substr(i, equals - i);
    std::string value;
    i = equals + 1;
    if (i < line.size() && line[i] == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        value += line[i];
      }
      ++i;
    } else {
      while (i < line.size() && line[i] != ' ') value += line[i++];
    }
    words[key] = value;
  }
  return words;
}

// Whether another process holds a POSIX lock on `file` (as Firefox does on
// .parentlock while it runs).
bool LockHeld(const fs::path& file) {
  const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  const bool held = fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  close(fd);
  return held;
}

// Firefox's `lock` link, "HOST:+PID": a process by that number still runs.
bool LockLinkLive(const fs::path& link) {
  std::error_code ec;
  const std::string target = fs::read_symlink(link, ec).string();
  if (ec) return false;
  const std::size_t plus = target.rfind(":+");
  if (plus == std::string::npos) return false;
  char* end = nullptr;
  const long pid = std::strtol(target.c_str() + plus + 2, &end, 10);
  return pid > 0 && *end == '\0' && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// A process other than this one with a file of `folder` open.
std::string OpenedBy(const fs::path& folder) {
  std::error_code ec;
  for (const auto& process : fs::directory_iterator("/proc", ec)) {
    const std::string pid = process.path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (std::stol(pid) == getpid()) continue;
    std::error_code fdError;
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
      std::error_code linkError;
      const fs::path target = fs::read_symlink(fd.path(), linkError);
      if (!linkError && target.parent_path() == folder) {
        std::ifstream comm(process.path() / "comm");
        std::string name;
        std::getline(comm, name);
        return name + " (pid " + pid + ")";
      }
    }
  }
  return "";
}

}  // namespace

std::vector<NssDatabase> FindNssDatabases(const std::string& home) {
  std::vector<NssDatabase> out;
  const fs::path root(home);
  AddProfiles(root / ".mozilla" / "firefox", "Firefox", &out);
  AddProfiles(root / ".thunderbird", "Thunderbird", &out);
  const fs::path chromium = root / ".pki" / "nssdb";
  out.push_back({"Chromium", "~/.pki/nssdb", chromium.string(), Format(chromium)});
  return out;
}

std::string HomeNotOwn(const std::string& home) {
  struct stat info {};
  if (stat(home.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return "HOME (" + home + ") is not a folder";
  const std::string why = FolderNotOwn(home);
  return why.empty() ? "" : "HOME " + why;
}

std::string DatabaseNotOwn(const NssDatabase& database) {
  // A folder still to be made: the part of its path that is there.
  fs::path existing(database.folder);
  struct stat info {};
  while (lstat(existing.c_str(), &info) != 0) {
    if (errno != ENOENT || existing == existing.parent_path()) {
      return "cannot read " + existing.string() + ": " + std::strerror(errno);
    }
    existing = existing.parent_path();
  }
  if (std::string why = FolderNotOwn(existing); !why.empty()) return why;
  if (existing != fs::path(database.folder)) return "";
  for (const char* name : kDatabaseFiles) {
    const fs::path file = existing / name;
    if (lstat(file.c_str(), &info) != 0) {
      if (errno == ENOENT) continue;
      return "cannot read " + file.string() + ": " + std::strerror(errno);
    }
    if (S_ISLNK(info.st_mode)) return file.string() + " is a link: NSS would write where it leads";
    if (!S_ISREG(info.st_mode)) return file.string() + " is not a file";
    if (info.st_uid != geteuid()) return file.string() + BelongsTo(info.st_uid);
  }
  return "";
}

std::string DatabaseHeld(const NssDatabase& database) {
  const fs::path folder(database.folder);
  // Firefox and Thunderbird own their profile while they run: NSS there
  // rewrites pkcs11.txt itself and would not see ours until it starts anew.
  if (database.owner != "Chromium" && (LockHeld(folder / ".parentlock") || LockLinkLive(folder / "lock"))) {
    return database.owner + " is running on this profile (its lock is held): close it and run the command again";
  }
  // A legacy database allows one program at a time.
  if (database.format == "dbm") {
    const std::string holder = OpenedBy(folder);
    if (!holder.empty()) {
      return "the legacy database is open in " + holder + ", and NSS allows one program at a time on it: close it "
             "and run the command again";
    }
  }
  return "";
}

std::string DefaultPkcs11Module() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path built = exe.parent_path().parent_path() / "pkcs11" / "libvela3ro-pkcs11.so";
    if (fs::is_regular_file(built, ec)) return built.string();
  }
  return kInstalledModule;
}

std::string CreateDatabase(NssDatabase& database) {
  std::error_code ec;
  fs::create_directories(database.folder, ec);
  if (ec) return "cannot make " + database.folder + ": " + ec.message();
  chmod(database.folder.c_str(), 0700);
  std::string output;
  if (Run({"certutil", "-N", "-d", "sql:" + database.folder, "--empty-password"}, &output) != 0) {
    return Failure("certutil cannot make the database", output);
  }
  database.format = "sql";
  return "";
}

std::string ListModules(const NssDatabase& database, std::vector<NssModule>* modules) {
  modules->clear();
  std::string output;
  if (Run({"modutil", "-dbdir", DbDir(database), "-rawlist"}, &output) != 0) {
    return Failure("modutil cannot list the modules", output);
  }
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const auto words = SpecWords(output.substr(start, end - start));
    start = end + 1;
    const auto name = words.find("name");
    if (name == words.end()) continue;
    const auto library = words.find("library");
    modules->push_back({name->second, library == words.end() ? "" : library->second});
  }
  return "";
}

std::string AddModule(const NssDatabase& database, const std::string& name, const std::string& library) {
  std::string output;
  // -force: no question about a running browser (checked before).
  if (Run({"modutil", "-dbdir", DbDir(database), "-add", name, "-libfile", library, "-force"}, &output) != 0) {
    return Failure("modutil cannot add the module", output);
  }
  return "";
}

std::string DeleteModule(const NssDatabase& database, const std::string& name) {
  std::string output;
  if (Run({"modutil", "-dbdir", DbDir(database), "-delete", name, "-force"}, &output) != 0) {
    return Failure("modutil cannot delete the module", output);
  }
  return "";
}

}  // namespace vela::tool
