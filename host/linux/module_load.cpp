// Loading the module on Linux: libvela3ro.so through the dynamic loader.
#include <dlfcn.h>

#include <filesystem>

#include "host/module_host.h"

namespace vela::host {

namespace {

constexpr const char* kModuleFile = "libvela3ro.so";

}  // namespace

std::unique_ptr<Module> Module::Load(const std::string& path, std::string* error) {
  const std::string file = path.empty() ? DefaultModulePath() : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    *error = "cannot load the module " + file + ": " + (reason != nullptr ? reason : "unknown reason");
    return nullptr;
  }
  void* entry = dlsym(handle, "CardAcquireContext");
  if (entry == nullptr) {
    *error = file + " has no CardAcquireContext";
    dlclose(handle);
    return nullptr;
  }
  return Adopt(handle, reinterpret_cast<AcquireFunction>(entry), file);
}

Module::~Module() { dlclose(handle_); }

std::string DefaultModulePath() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? kModuleFile : ModulePathNear(exe.parent_path().string());
}

std::string ModulePathNear(const std::string& directory) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path dir(directory);
  for (const fs::path& candidate : {dir / kModuleFile, dir.parent_path() / kModuleFile,
                                    dir.parent_path() / "lib" / kModuleFile}) {
    if (fs::is_regular_file(candidate, ec)) return candidate.string();
  }
  return kModuleFile;
}

std::unique_ptr<Module> Module::LoadForCard(const std::vector<BYTE>&, std::string* error) { return Load("", error); }

bool ModuleFoundPerCard() { return false; }

}  // namespace vela::host
