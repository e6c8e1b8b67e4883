#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/reg_file.h"
#include "platform/unique_fd.h"

namespace vela::platform {

LoadedRegFile ReadRegFile(const char* path) {
  // O_NONBLOCK: a FIFO planted at the path must not hold every acquire until
  // someone writes to it; what is not a regular file is not read at all.
  UniqueFd file(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file) return {errno == ENOENT || errno == ENOTDIR ? RegFileStatus::kAbsent : RegFileStatus::kUnreadable, {}};
  struct stat info {};
  if (fstat(file.get(), &info) != 0) return {RegFileStatus::kUnreadable, {}};
  if (!S_ISREG(info.st_mode)) return {RegFileStatus::kNotRegular, {}};
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > kMaxRegFileSize) {
    return {RegFileStatus::kTooLarge, {}};
  }

  // The file may still grow while it is read: the limit holds for what is read.
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  std::uint8_t chunk[4096];
  while (true) {
    const ssize_t n = read(file.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {RegFileStatus::kUnreadable, {}};
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > kMaxRegFileSize) return {RegFileStatus::kTooLarge, {}};
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  std::optional<RegFile> parsed = RegFile::Parse(bytes);
  if (!parsed) return {RegFileStatus::kNotAnExport, {}};
  return {RegFileStatus::kRead, std::move(parsed)};
}

}  // namespace vela::platform
