// check on Windows, as the smart-card stack decides: the card database entry
// whose ATR and mask match the card by Windows' rule names the minidriver,
// which 64-bit programs load from System32 through the 64-bit view and 32-bit
// programs (32-bit Office, for one) from SysWOW64 through the WOW6432Node
// view. Every step that fails is a reason in the verdict.
// The interface header first: <windows.h> defines some of its names as macros.
#include "host/card_database.h"
#include "tool/check.h"

#include <windows.h>

#include <cstring>


namespace vela::tool {

namespace {

using host::AtrMatch;
using host::CardEntry;
using host::HexBytes;
using host::RegistryView;
using host::Value;

constexpr const char* kModuleFile = "vela3ro.dll";

struct View {
  RegistryView view;
  const char* name;      // in the report
  const char* programs;  // who reads this view
};
constexpr View kViews[] = {
    {RegistryView::k64, "64-bit view", "64-bit programs"},
    {RegistryView::k32, "32-bit view (WOW6432Node)", "32-bit programs"},
};

std::string Hex(const std::vector<std::uint8_t>& bytes) { return HexBytes(bytes.data(), bytes.size(), ""); }

// Where the programs of a view load a DLL named without a path from.
std::string SystemDirectory(RegistryView view) {
  char directory[MAX_PATH] = {};
  const ::UINT length = view == RegistryView::k64 ? GetSystemDirectoryA(directory, MAX_PATH)
                                                : GetSystemWow64DirectoryA(directory, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::string(directory, length) : std::string();
}

Value Describe(const CardEntry& entry) {
  Value out = Value::Object();
  out.Set("name", entry.name);
  out.Set("atr", entry.atr.empty() ? Value("missing") : Value(Hex(entry.atr)));
  out.Set("atrMask", entry.mask.empty() ? Value("missing") : Value(Hex(entry.mask)));
  out.Set("module", entry.module.empty() ? Value() : Value(entry.module));
  out.Set("cryptoProvider", entry.cryptoProvider.empty() ? Value() : Value(entry.cryptoProvider));
  out.Set("keyStorageProvider", entry.keyStorageProvider.empty() ? Value() : Value(entry.keyStorageProvider));
  return out;
}

// A DLL's fixed version and the original file name its version block gives.
struct VersionBlock {
  std::string version;       // "1.2.3.0", empty without a version block
  std::string originalName;  // "vela3ro.dll"
};

VersionBlock ReadVersionBlock(const std::string& path) {
  VersionBlock out;
  ::DWORD ignored = 0;
  const ::DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return out;
  std::vector<::BYTE> block(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  ::UINT length = 0;
  if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data()) ||
      !VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr) {
    return out;
  }
  out.version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) +
                "." + std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
                std::to_string(LOWORD(fixed->dwFileVersionLS));
  // The strings of the block's first language.
  const ::WORD* translation = nullptr;
  if (VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(const_cast<::WORD**>(&translation)),
                     &length) &&
      translation != nullptr && length >= 4) {
    char query[64];
    wsprintfA(query, "\\StringFileInfo\\%04x%04x\\OriginalFilename", translation[0], translation[1]);
    char* name = nullptr;
    if (VerQueryValueA(block.data(), query, reinterpret_cast<void**>(&name), &length) && name != nullptr && length > 0) {
      out.originalName.assign(name, strnlen(name, length));
    }
  }
  return out;
}

// The machine a PE file is built for, from its file header: "x64", "x86",
// another's number, or empty when the file is no PE image.
std::string MachineOf(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::uint8_t head[4096] = {};
  ::DWORD got = 0;
  const bool read = ReadFile(file, head, sizeof head, &got, nullptr);
  CloseHandle(file);
  if (!read || got < 0x40 || head[0] != 'M' || head[1] != 'Z') return {};
  const std::uint32_t pe = head[0x3C] | head[0x3D] << 8 | head[0x3E] << 16 | static_cast<std::uint32_t>(head[0x3F]) << 24;
  if (pe > got - 6 || std::memcmp(head + pe, "PE\0\0", 4) != 0) return {};
  const unsigned machine = head[pe + 4] | head[pe + 5] << 8;
  if (machine == IMAGE_FILE_MACHINE_AMD64) return "x64";
  if (machine == IMAGE_FILE_MACHINE_I386) return "x86";
  char text[16];
  wsprintfA(text, "0x%04x", machine);
  return text;
}

bool SameName(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

bool IsFullPath(const std::string& name) {
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  return (name.size() > 2 && name[1] == ':' && separator(name[2])) ||
         (name.size() > 1 && separator(name[0]) && separator(name[1]));
}

std::string FileName(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where the programs of a view load the DLL an entry names: a full path as
// it is (System32 in it redirected to SysWOW64 for 32-bit programs), a bare
// name from the view's system directory.
std::string WhereLoaded(RegistryView view, const std::string& module) {
  if (!IsFullPath(module)) return SystemDirectory(view) + "\\" + module;
  const std::string system32 = SystemDirectory(RegistryView::k64) + "\\";
  if (view == RegistryView::k32 && module.size() > system32.size() &&
      SameName(module.substr(0, system32.size()), system32)) {
    return SystemDirectory(view) + "\\" + module.substr(system32.size());
  }
  return module;
}

// The DLL an entry names, as the view's programs would load it, set into
// `where`; every way in which it is not this module's DLL for those programs
// goes into `problems`. True when it is.
bool CheckNamedModule(const View& view, const CardEntry& entry, Value& where, std::vector<std::string>* problems) {
  const std::string file = WhereLoaded(view.view, entry.module);
  const std::string said = "in the " + std::string(view.name) + " the entry \"" + entry.name + "\" names " +
                           entry.module;
  where.Set("path", file);
  if (GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
    where.Set("found", false);
    problems->push_back(IsFullPath(entry.module)
                            ? said + ", which does not exist: " + view.programs + " cannot load it"
                            : entry.module + ", which the entry \"" + entry.name + "\" names, is not in " +
                                  SystemDirectory(view.view) + ": " + view.programs + " cannot load it");
    return false;
  }
  where.Set("found", true);
  const VersionBlock block = ReadVersionBlock(file);
  const std::string machine = MachineOf(file);
  const char* wanted = view.view == RegistryView::k64 ? "x64" : "x86";
  where.Set("version", block.version.empty() ? Value() : Value(block.version));
  where.Set("originalName", block.originalName.empty() ? Value() : Value(block.originalName));
  where.Set("machine", machine.empty() ? Value("not a PE image") : Value(machine));
  bool ours = true;
  if (!SameName(block.originalName, kModuleFile)) {
    problems->push_back(said + ", which is not this module (its version block names " +
                        (block.originalName.empty() ? std::string("no original file") : block.originalName) +
                        "): Windows uses that DLL for the card, not " + kModuleFile);
    ours = false;
  } else if (!SameName(FileName(file), kModuleFile)) {
    problems->push_back(said + ", a copy of " + kModuleFile + " under another name: register " + kModuleFile +
                        " itself, which updates and removal of the package keep in step");
    ours = false;
  }
  if (machine != wanted) {
    problems->push_back(said + ", " + (machine.empty() ? std::string("which is no DLL") : "an " + machine + " DLL") +
                        ": " + view.programs + " load only " + wanted + " DLLs");
    ours = false;
  }
  return ours;
}

// One view: the entries that match, those that would match only under the
// lenient reading, the entries of this card that lack what matching needs,
// and the DLL each matching entry names.
void CheckView(const View& view, const std::vector<std::uint8_t>& atr, Value& out, std::vector<std::string>* problems,
               bool* registered, std::string* moduleFile) {
  std::vector<CardEntry> entries;
  const std::uint32_t rc = host::ReadCardDatabase(view.view, &entries);
  if (rc != 0) out.Set("error", "no smart-card database (registry error " + std::to_string(rc) + ")");
  // Lists are built apart and set at the end: a reference into `out` does
  // not survive the next field added to it.
  Value matching = Value::List();
  std::string names;
  for (const CardEntry* entry : host::MatchingEntries(entries, atr)) {
    Value& shown = matching.Append(Describe(*entry));
    names += (names.empty() ? "\"" : ", \"") + entry->name + "\"";
    if (entry->module.empty()) {
      problems->push_back("in the " + std::string(view.name) + " the entry \"" + entry->name +
                          "\" names no minidriver (value 80000001)");
      continue;
    }
    if (CheckNamedModule(view, *entry, shown.Set("file", Value::Object()), problems) && moduleFile->empty() &&
        view.view == RegistryView::k64) {
      *moduleFile = WhereLoaded(view.view, entry->module);
    }
  }
  if (matching.items().size() > 1) {
    problems->push_back("in the " + std::string(view.name) + " more than one entry matches the card (" + names +
                        "): Windows cannot tell which card it is");
  }
  Value unmasked = Value::List();
  for (const CardEntry& entry : entries) {
    if (host::MatchAtr(atr, entry.atr, entry.mask) != AtrMatch::kUnmaskedOnly) continue;
    unmasked.Append(Describe(entry));
    if (matching.items().empty()) {
      problems->push_back("in the " + std::string(view.name) + " the entry \"" + entry.name + "\" holds the ATR " +
                          Hex(entry.atr) + " where its mask is 00; Windows compares ATR AND mask (" +
                          Hex(host::MaskedAtr(atr, entry.mask)) + " for this card) with it and never matches: " +
                          "register the ATR " + Hex(host::MaskedAtr(atr, entry.mask)));
    }
  }
  // This card's own entry, or one naming this module, without the values
  // Windows matches by: named as such, not as "no entry".
  Value incomplete = Value::List();
  for (const CardEntry& entry : entries) {
    const bool ofThisCard = entry.name == host::kCardName || SameName(FileName(entry.module), kModuleFile);
    if (!ofThisCard || host::MatchAtr(atr, entry.atr, entry.mask) != AtrMatch::kNoMatch) continue;
    std::string missing;
    if (entry.atr.empty()) {
      missing = "no ATR value: Windows pairs no card with it";
    } else if (entry.mask.empty() && entry.atr.size() == atr.size()) {
      missing = "no ATRMask value: Windows compares the card's ATR " + Hex(atr) + " whole with " + Hex(entry.atr) +
                " and never matches";
    } else {
      continue;
    }
    incomplete.Append(Describe(entry));
    problems->push_back("in the " + std::string(view.name) + " the entry \"" + entry.name + "\" has " + missing);
  }
  const bool here = !matching.items().empty() || !unmasked.items().empty() || !incomplete.items().empty();
  if (!here) {
    problems->push_back("no entry in the " + std::string(view.name) +
                        " matches the card's ATR by Windows' rule (ATR AND ATRMask equals the registered ATR), so " +
                        view.programs + " do not load the module for it");
  }
  *registered = *registered || here;
  out.Set("registeredForThisCard", !matching.items().empty());
  out.Set("matching", std::move(matching));
  out.Set("matchingOnlyUnmasked", std::move(unmasked));
  if (!incomplete.items().empty()) out.Set("incompleteEntries", std::move(incomplete));
}

}  // namespace

const CheckPlatform& ThisPlatform() {
  static const CheckPlatform platform{"Windows", " (is the Smart Card service running?)"};
  return platform;
}

void CheckMachine(const std::string&, Value& out, std::vector<std::string>*) {
  out.Set("system32", SystemDirectory(RegistryView::k64));
  out.Set("syswow64", SystemDirectory(RegistryView::k32));
}

bool CheckCard(const std::vector<std::uint8_t>& atr, const std::string& modulePath, Value& out,
               std::vector<std::string>* problems, std::unique_ptr<host::Module>* module) {
  Value& database = out.Set("cardDatabase", Value::Object());
  bool registered = false;
  std::string moduleFile;
  for (const View& view : kViews) CheckView(view, atr, database[view.name], problems, &registered, &moduleFile);

  // The acquire shows what the module itself makes of the card, even where
  // the registration is broken: the DLL the 64-bit view names where it is
  // this module's, else vela3ro.dll from System32.
  std::string error;
  const std::string file = !modulePath.empty()   ? modulePath
                           : !moduleFile.empty() ? moduleFile
                                                 : SystemDirectory(RegistryView::k64) + "\\" + kModuleFile;
  if (modulePath.empty() && GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
    problems->push_back(file + " is missing: no module to acquire the card with");
    return registered;
  }
  *module = host::Module::Load(file, &error);
  if (!*module) problems->push_back(error);
  return registered;
}

}  // namespace vela::tool
