// check on Windows, as the smart-card stack decides: the card database entry
// whose ATR and mask match the card by Windows' rule names the minidriver,
// which 64-bit programs load from System32 through the 64-bit view and 32-bit
// programs (32-bit Office, for one) from SysWOW64 through the WOW6432Node
// view. Every step that fails is a reason in the verdict.
// The interface header first: <windows.h> defines some of its names as macros.
#include "host/card_database.h"
#include "tool/check.h"

#include <windows.h>


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

Value FileVersion(const std::string& path) {
  ::DWORD ignored = 0;
  const ::DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return Value();
  std::vector<::BYTE> block(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  ::UINT length = 0;
  if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data()) ||
      !VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr) {
    return Value();
  }
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
}

Value Describe(const CardEntry& entry) {
  Value out = Value::Object();
  out.Set("name", entry.name);
  out.Set("atr", Hex(entry.atr));
  out.Set("atrMask", entry.mask.empty() ? Value() : Value(Hex(entry.mask)));
  out.Set("module", entry.module.empty() ? Value() : Value(entry.module));
  out.Set("cryptoProvider", entry.cryptoProvider.empty() ? Value() : Value(entry.cryptoProvider));
  out.Set("keyStorageProvider", entry.keyStorageProvider.empty() ? Value() : Value(entry.keyStorageProvider));
  return out;
}

// One view: the entries that match, those that would match only under the
// lenient reading, and the DLL each matching entry names.
void CheckView(const View& view, const std::vector<std::uint8_t>& atr, Value& out, std::vector<std::string>* problems,
               bool* registered, std::string* moduleName) {
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
    *registered = true;
    if (entry->module.empty()) {
      problems->push_back("in the " + std::string(view.name) + " the entry \"" + entry->name +
                          "\" names no minidriver (value 80000001)");
      continue;
    }
    if (moduleName->empty()) *moduleName = entry->module;
    const std::string file = SystemDirectory(view.view) + "\\" + entry->module;
    Value& where = shown.Set("file", Value::Object());
    where.Set("path", file);
    if (GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
      where.Set("found", false);
      problems->push_back(entry->module + ", which the entry \"" + entry->name + "\" names, is not in " +
                          SystemDirectory(view.view) + ": " + view.programs + " cannot load it");
    } else {
      where.Set("found", true);
      where.Set("version", FileVersion(file));
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
    *registered = true;
    if (matching.items().empty()) {
      problems->push_back("in the " + std::string(view.name) + " the entry \"" + entry.name + "\" holds the ATR " +
                          Hex(entry.atr) + " where its mask is 00; Windows compares ATR AND mask (" +
                          Hex(host::MaskedAtr(atr, entry.mask)) + " for this card) with it and never matches: " +
                          "register the ATR " + Hex(host::MaskedAtr(atr, entry.mask)));
    }
  }
  if (matching.items().empty() && unmasked.items().empty()) {
    problems->push_back("no entry in the " + std::string(view.name) +
                        " matches the card's ATR by Windows' rule (ATR AND ATRMask equals the registered ATR), so " +
                        view.programs + " do not load the module for it");
  }
  out.Set("matching", std::move(matching));
  out.Set("matchingOnlyUnmasked", std::move(unmasked));
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

void CheckCard(const std::vector<std::uint8_t>& atr, const std::string& modulePath, Value& out,
               std::vector<std::string>* problems, std::unique_ptr<host::Module>* module) {
  Value& database = out.Set("cardDatabase", Value::Object());
  bool registered = false;
  std::string moduleName;
  for (const View& view : kViews) CheckView(view, atr, database[view.name], problems, &registered, &moduleName);
  if (registered) out.Set("registeredForThisCard", true);

  // The acquire shows what the module itself makes of the card, even where
  // the registration is broken: the DLL named (or vela3ro.dll), from System32.
  std::string error;
  const std::string file =
      modulePath.empty() ? SystemDirectory(RegistryView::k64) + "\\" + (moduleName.empty() ? kModuleFile : moduleName)
                         : modulePath;
  if (modulePath.empty() && GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
    // A matching entry has said so already.
    if (moduleName.empty()) problems->push_back(file + " is missing");
    return;
  }
  *module = host::Module::Load(file, &error);
  if (!*module) problems->push_back(error);
}

}  // namespace vela::tool
