// check on Linux: the hosts (vela3ro-tool, the PKCS#11 module) load
// libvela3ro.so themselves and reach the card through pcscd; the settings
// come from the registry file.
#include <sys/stat.h>

#include "tool/check.h"

namespace vela::tool {

const CheckPlatform& ThisPlatform() {
  static const CheckPlatform platform{"the host", " (is pcscd running?)"};
  return platform;
}

void CheckMachine(const std::string& modulePath, host::Value& out, std::vector<std::string>* problems) {
  const std::string path = modulePath.empty() ? host::DefaultModulePath() : modulePath;
  host::Value& module = out.Set("module", host::Value::Object());
  module.Set("path", path);
  struct stat info {};
  if (path.find('/') != std::string::npos && stat(path.c_str(), &info) != 0) {
    module.Set("found", false);
    problems->push_back(path + " is missing");
    return;
  }
  std::string error;
  const std::unique_ptr<host::Module> loaded = host::Module::Load(modulePath, &error);
  module.Set("loads", loaded != nullptr);
  if (!loaded) problems->push_back(error);
}

bool CheckCard(const std::vector<std::uint8_t>&, const std::string& modulePath, host::Value&,
               std::vector<std::string>* problems, std::unique_ptr<host::Module>* module) {
  std::string error;
  *module = host::Module::Load(modulePath, &error);
  if (!*module) problems->push_back(error);
  return false;  // no registration: the module alone decides
}

}  // namespace vela::tool
