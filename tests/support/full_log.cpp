#include "full_log.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "core/log.h"
#include "fake_registry.h"
#include "platform/system.h"

namespace vela::test {

FullLog::FullLog() {
  char pattern[] = "/tmp/vela3ro-log-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("no temporary directory for the log");
  dir_ = pattern;
  SetRegistryString(kSettingsKey, "LogPath", dir_);
  SetRegistryString(kSettingsKey, "LogLevel", "9");
  SetRegistryString(kSettingsKey, "LogAPDU", "TRUE");
}

FullLog::~FullLog() {
  SetLogLevel(kLogOff);
  SetLogDirectory(platform::DefaultLogDirectory());
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string FullLog::Text() const {
  std::string text;
  for (const auto& file : std::filesystem::directory_iterator(dir_)) {
    std::ifstream in(file.path(), std::ios::binary);
    text.append(std::istreambuf_iterator<char>(in), {});
  }
  return text;
}

}  // namespace vela::test
