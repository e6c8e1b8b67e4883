// Loading the module on Windows: vela3ro.dll as the smart-card stack finds it
// (the card database entry for the card's ATR names it, and it is loaded by
// that name from the system directory), or from a path given.
// The interface header first: <windows.h> defines some of its names as macros.
#include "host/card_database.h"
#include "host/module_host.h"

#include <windows.h>


namespace vela::host {

namespace {

// The system's text for `code`, its inserts ("Bad EXE format for %1.") filled
// with `subject`, the file the call was about.
std::string ErrorText(DWORD code, const std::string& subject = "it") {
  char text[512] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                      text, sizeof text, nullptr);
  std::string out;
  for (DWORD i = 0; i < length && i < sizeof text; ++i) {
    if (text[i] == '%' && i + 1 < length && text[i + 1] >= '1' && text[i + 1] <= '9') {
      out += subject;
      for (++i; i + 1 < length && text[i + 1] >= '0' && text[i + 1] <= '9';) ++i;
      continue;
    }
    out += text[i];
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  char number[16];
  wsprintfA(number, "%lu", static_cast<unsigned long>(code));
  return out.empty() ? "error " + std::string(number) : out + " (" + number + ")";
}

std::unique_ptr<Module> Finish(HMODULE handle, const std::string& shown, std::string* error) {
  auto entry = reinterpret_cast<AcquireFunction>(reinterpret_cast<void*>(GetProcAddress(handle, "CardAcquireContext")));
  if (entry == nullptr) {
    *error = shown + " has no CardAcquireContext";
    FreeLibrary(handle);
    return nullptr;
  }
  char path[MAX_PATH] = {};
  GetModuleFileNameA(handle, path, sizeof path);
  return Module::Adopt(handle, entry, path);
}

}  // namespace

std::unique_ptr<Module> Module::Load(const std::string& path, std::string* error) {
  if (path.empty()) {
    *error = "no module named (on Windows the card database names it for each card)";
    return nullptr;
  }
  HMODULE handle = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (handle == nullptr) {
    *error = "cannot load the module " + path + ": " + ErrorText(GetLastError(), path);
    return nullptr;
  }
  return Finish(handle, path, error);
}

std::unique_ptr<Module> Module::LoadForCard(const std::vector<BYTE>& atr, std::string* error) {
  std::vector<CardEntry> entries;
  // A 64-bit program's providers read the 64-bit view.
  if (const std::uint32_t rc = ReadCardDatabase(RegistryView::k64, &entries); rc != 0) {
    *error = "cannot read the smart-card database: " + ErrorText(rc);
    return nullptr;
  }
  const std::vector<const CardEntry*> found = MatchingEntries(entries, atr);
  if (found.empty()) {
    *error = "no entry of the smart-card database matches the card's ATR (vela3ro-tool check says why)";
    return nullptr;
  }
  const std::string& name = found.front()->module;
  if (name.empty()) {
    *error = "the card database entry \"" + found.front()->name + "\" names no minidriver";
    return nullptr;
  }
  HMODULE handle = LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (handle == nullptr) {
    *error = "cannot load " + name + " from the system directory: " + ErrorText(GetLastError(), name);
    return nullptr;
  }
  return Finish(handle, name, error);
}

Module::~Module() { FreeLibrary(static_cast<HMODULE>(handle_)); }

bool ModuleFoundPerCard() { return true; }

}  // namespace vela::host
