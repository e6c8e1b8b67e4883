#include "pkcs11/object_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <span>

#include "crypto/digest.h"
#include "platform/unique_fd.h"

namespace vela::pkcs11 {
namespace {

using platform::UniqueFd;

constexpr char kMagic[8] = {'V', '3', 'R', 'O', 'P', '1', '1', 'C'};
constexpr std::uint32_t kFormat = 1;
constexpr std::size_t kDigestBytes = 32;
constexpr const char* kPrefix = "card-";
constexpr const char* kSuffix = ".cache";

std::string Hex(std::span<const std::uint8_t> bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

void PutInt(Bytes& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutBlock(Bytes& out, std::span<const std::uint8_t> block, int lengthBytes) {
  PutInt(out, static_cast<std::uint32_t>(block.size()), lengthBytes);
  out.insert(out.end(), block.begin(), block.end());
}

// Reads the file's fields in order; any read past its end fails them all.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  bool done() const { return ok_ && at_ == bytes_.size(); }
  std::uint32_t Int(int bytes) {
    if (!Has(bytes)) return 0;
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint32_t>(bytes_[at_ + i]) << (8 * i);
    at_ += bytes;
    return value;
  }
  Bytes Block(int lengthBytes) {
    const std::size_t length = Int(lengthBytes);
    if (!Has(length)) return {};
    Bytes out(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
              bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + length));
    at_ += length;
    return out;
  }
  std::span<const std::uint8_t> Raw(std::size_t length) {
    if (!Has(length)) return {};
    const auto out = bytes_.subspan(at_, length);
    at_ += length;
    return out;
  }

 private:
  bool Has(std::size_t length) {
    ok_ = ok_ && length <= bytes_.size() - at_;
    return ok_;
  }
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

Bytes Digest(std::span<const std::uint8_t> bytes) {
  Bytes digest(kDigestBytes);
  ShaHash(kSha256, bytes.data(), bytes.size(), digest.data());
  return digest;
}

// What a file's name holds of the card's ATR: the first bytes of its digest.
std::string AtrTag(const Bytes& atr) {
  const Bytes digest = Digest(atr);
  return Hex(std::span(digest).first(4));
}

}  // namespace

Bytes ObjectCache::Encode(const CachedCard& card) {
  Bytes out(kMagic, kMagic + sizeof(kMagic));
  PutInt(out, kFormat, 4);
  out.insert(out.end(), card.serial.begin(), card.serial.end());
  PutBlock(out, card.atr, 2);
  PutInt(out, static_cast<std::uint32_t>(card.containers.size()), 2);
  for (const ContainerData& container : card.containers) {
    PutInt(out, static_cast<std::uint32_t>(container.index), 1);
    PutInt(out, container.signature ? 1 : 0, 1);
    PutBlock(out, container.point, 2);
    PutBlock(out, container.certificateFile, 4);
  }
  const Bytes digest = Digest(out);
  out.insert(out.end(), digest.begin(), digest.end());
  return out;
}

std::optional<CachedCard> ObjectCache::Parse(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < sizeof(kMagic) + kDigestBytes) return std::nullopt;
  const auto body = bytes.first(bytes.size() - kDigestBytes);
  const Bytes digest = Digest(body);
  if (!std::equal(digest.begin(), digest.end(), bytes.end() - kDigestBytes)) return std::nullopt;
  Reader reader(body);
  const auto magic = reader.Raw(sizeof(kMagic));
  if (!reader.ok() || !std::equal(magic.begin(), magic.end(), kMagic) || reader.Int(4) != kFormat) return std::nullopt;
  CachedCard card;
  const auto serial = reader.Raw(card.serial.size());
  if (!reader.ok()) return std::nullopt;
  std::copy(serial.begin(), serial.end(), card.serial.begin());
  card.atr = reader.Block(2);
  const std::uint32_t count = reader.Int(2);
  for (std::uint32_t i = 0; i < count && reader.ok(); ++i) {
    ContainerData& container = card.containers.emplace_back();
    container.index = static_cast<int>(reader.Int(1));
    const std::uint32_t signature = reader.Int(1);
    container.signature = signature == 1;
    container.point = reader.Block(2);
    container.certificateFile = reader.Block(4);
    if (signature > 1) return std::nullopt;
  }
  if (!reader.done()) return std::nullopt;
  return card;
}

namespace {

constexpr const char* kFolder = "vela3ro";

// A descriptor of the user's cache folder (symbolic links followed, as the
// user may have placed it elsewhere), or -1 when it belongs to another user:
// root running with a user's HOME never writes there, nor takes it over.
// When `make`, a missing one is made (0700, as the XDG rules ask) where the
// folder it goes into is the user's.
int OpenCacheHome(const std::string& path, bool make) {
  if (path.empty() || path[0] != '/') return -1;
  const int fd = platform::OpenOwnDirectory(AT_FDCWD, path.c_str(), true, 0);
  if (fd >= 0 || !make) return fd;
  const std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return -1;
  const std::size_t slash = path.rfind('/', end);
  const std::string above = slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = path.substr(slash + 1, end - slash);
  const UniqueFd parent(platform::OpenOwnDirectory(AT_FDCWD, above.c_str(), true, 0));
  // One made meanwhile by another program of the user's is as good; whatever
  // else stands there (another user's folder, a link to one) the open refuses.
  if (!parent || (mkdirat(parent.get(), name.c_str(), 0700) != 0 && errno != EEXIST)) return -1;
  return platform::OpenOwnDirectory(parent.get(), name.c_str(), true, 0);
}

// A descriptor of our folder inside the cache home when it is this user's and
// nobody else may enter it, or -1. It (and a missing cache home) is made
// (0700) first when `make`.
int OpenCacheFolder(const std::string& home, bool make) {
  const UniqueFd base(OpenCacheHome(home, make));
  if (!base) return -1;
  if (make) (void)mkdirat(base.get(), kFolder, 0700);
  return platform::OpenOwnDirectory(base.get(), kFolder, false, 077);
}

bool WriteAll(int fd, const Bytes& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

bool EndsWith(const std::string& name, const std::string& end) {
  return name.size() >= end.size() && name.compare(name.size() - end.size(), std::string::npos, end) == 0;
}

// The names in our folder that are files of cards.
std::vector<std::string> CardFiles(int directory) {
  std::vector<std::string> names;
  const int listing = dup(directory);
  if (listing < 0) return names;
  DIR* dir = fdopendir(listing);
  if (dir == nullptr) {
    close(listing);
    return names;
  }
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind(kPrefix, 0) == 0 && EndsWith(name, kSuffix)) names.push_back(name);
  }
  closedir(dir);  // and the duplicate with it
  return names;
}

// Keeps the newest kMaxCards files of cards; `keep` is never removed.
void Prune(int directory, const std::string& keep) {
  std::vector<std::pair<std::int64_t, std::string>> files;
  for (const std::string& name : CardFiles(directory)) {
    struct stat info{};
    if (name != keep && fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      files.emplace_back(info.st_mtime, name);
    }
  }
  std::sort(files.begin(), files.end(), std::greater<>());
  for (std::size_t i = ObjectCache::kMaxCards - 1; i < files.size(); ++i) {
    unlinkat(directory, files[i].second.c_str(), 0);
  }
}

}  // namespace

std::string ObjectCache::DefaultHome() {
  // The environment is not trusted in a program that changed its user. A
  // relative or empty XDG_CACHE_HOME is no folder: the rules say to ignore it.
  if (const char* cache = secure_getenv("XDG_CACHE_HOME"); cache != nullptr && cache[0] == '/') return cache;
  const char* home = secure_getenv("HOME");
  std::string base = home != nullptr && home[0] == '/' ? home : "";
  if (base.empty()) {
    const passwd* user = getpwuid(geteuid());
    if (user == nullptr || user->pw_dir == nullptr || user->pw_dir[0] != '/') return "";
    base = user->pw_dir;
  }
  return base + "/.cache";
}

std::string ObjectCache::FileName(const std::array<std::uint8_t, 10>& serial, const Bytes& atr) const {
  // The ATR's digest in the name: a card of another kind with the same
  // serial number has a file of its own.
  return kPrefix + Hex(serial) + "-" + AtrTag(atr) + kSuffix;
}

bool ObjectCache::HoldsCardWith(const Bytes& atr) const {
  const UniqueFd directory(OpenCacheFolder(home_, false));
  if (!directory) return false;
  const std::string end = "-" + AtrTag(atr) + kSuffix;
  const std::vector<std::string> names = CardFiles(directory.get());
  return std::any_of(names.begin(), names.end(), [&](const std::string& name) { return EndsWith(name, end); });
}

std::optional<CachedCard> ObjectCache::Load(const std::array<std::uint8_t, 10>& serial, const Bytes& atr) const {
  const UniqueFd directory(OpenCacheFolder(home_, false));
  if (!directory) return std::nullopt;
  const UniqueFd file(
      openat(directory.get(), FileName(serial, atr).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info{};
  if (!file || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & 07777) != 0600 || info.st_nlink != 1 || info.st_size < 0 ||
      static_cast<std::size_t>(info.st_size) > kMaxFileBytes) {
    return std::nullopt;
  }
  Bytes bytes(static_cast<std::size_t>(info.st_size));
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = read(file.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    got += static_cast<std::size_t>(n);
  }
  std::optional<CachedCard> card = Parse(bytes);
  // Another card's file (under a name that is not its own) is not this card's.
  if (!card || card->serial != serial || card->atr != atr) return std::nullopt;
  return card;
}

bool ObjectCache::Store(const CachedCard& card) const {
  const UniqueFd directory(OpenCacheFolder(home_, true));
  if (!directory) return false;
  const Bytes bytes = Encode(card);
  if (bytes.size() > kMaxFileBytes) return false;

  static std::atomic<unsigned> counter{0};
  const std::string name = FileName(card.serial, card.atr);
  const std::string temporary =
      "." + name + "." + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1)) + ".tmp";
  bool written = false;
  {
    const UniqueFd file(openat(directory.get(), temporary.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    written = file && fchmod(file.get(), 0600) == 0 && WriteAll(file.get(), bytes);
  }
  // The rename replaces whatever stood at the name (a link included), never
  // what it points to.
  if (!written || renameat(directory.get(), temporary.c_str(), directory.get(), name.c_str()) != 0) {
    unlinkat(directory.get(), temporary.c_str(), 0);
    return false;
  }
  Prune(directory.get(), name);
  return true;
}

}  // namespace vela::pkcs11
