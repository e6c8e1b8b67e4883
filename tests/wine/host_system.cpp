#include "host_system.h"

#include <windows.h>
#include <winscard.h>
#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/card_database.h"

namespace vela::winetest {

namespace {

constexpr char kReaderName[] = "VELA TCP Reader 0";

bool Fail(const char* step, unsigned long code) {
  Check(false, step, Code(static_cast<std::uint32_t>(code)));
  return false;
}

}  // namespace

bool ConnectCard(CardConnection* connection) {
  SCARDCONTEXT context = 0;
  LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
  if (rc != SCARD_S_SUCCESS) return Fail("establish-context", rc);
  connection->context = context;
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  rc = SCardConnectA(context, kReaderName, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol);
  if (rc != SCARD_S_SUCCESS) return Fail("connect", rc);
  connection->card = card;
  BYTE atr[36];
  DWORD atrLength = sizeof atr;
  rc = SCardStatusA(card, nullptr, nullptr, nullptr, nullptr, atr, &atrLength);
  if (rc != SCARD_S_SUCCESS) return Fail("card-status", rc);
  connection->atr.assign(atr, atr + atrLength);
  Report("atr", Hex(connection->atr));
  return true;
}

void DisconnectCard(CardConnection* connection) {
  if (connection->card != 0) SCardDisconnect(connection->card, SCARD_LEAVE_CARD);
  if (connection->context != 0) SCardReleaseContext(connection->context);
  *connection = {};
}

void* LoadModule(const char* path) {
  HMODULE module = LoadLibraryA(path);
  if (module == nullptr) Fail("load-library", GetLastError());
  return reinterpret_cast<void*>(module);
}

namespace {

constexpr const char* kSmartCardsKey = host::kSmartCardsKey;

bool ReadValue(HKEY key, const char* name, DWORD type, Bytes* value) {
  DWORD found = 0, size = 0;
  if (RegQueryValueExA(key, name, nullptr, &found, nullptr, &size) != ERROR_SUCCESS || found != type) return false;
  value->resize(size);
  return RegQueryValueExA(key, name, nullptr, &found, value->data(), &size) == ERROR_SUCCESS && found == type;
}

// Windows' own rule (host/card_database.h): A & ATRMask == ATR.
bool AtrMatches(HKEY entry, const Bytes& atr) {
  Bytes registered, mask;
  if (!ReadValue(entry, "ATR", REG_BINARY, &registered)) return false;
  // The mask is optional; without one the ATR must match exactly.
  (void)ReadValue(entry, "ATRMask", REG_BINARY, &mask);
  return host::MatchAtr(atr, registered, mask) == host::AtrMatch::kMatches;
}

}  // namespace

void* LoadRegisteredModule(const Bytes& atr) {
  HKEY cards = nullptr;
  if (LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSmartCardsKey, 0, KEY_READ, &cards); rc != ERROR_SUCCESS) {
    Fail("open-smart-cards-key", rc);
    return nullptr;
  }
  std::vector<std::string> matches;
  std::string moduleName;
  char cardName[256];
  for (DWORD i = 0; RegEnumKeyA(cards, i, cardName, sizeof cardName) == ERROR_SUCCESS; ++i) {
    HKEY entry = nullptr;
    if (RegOpenKeyExA(cards, cardName, 0, KEY_READ, &entry) != ERROR_SUCCESS) continue;
    Bytes name;
    if (AtrMatches(entry, atr) && ReadValue(entry, "80000001", REG_SZ, &name)) {
      matches.push_back(cardName);
      const auto* text = reinterpret_cast<const char*>(name.data());
      moduleName.assign(text, strnlen(text, name.size()));
    }
    RegCloseKey(entry);
  }
  RegCloseKey(cards);
  std::string listing;
  for (const std::string& match : matches) listing += (listing.empty() ? "" : ", ") + match;
  Check(matches.size() == 1, "one-card-registration-matches", listing.empty() ? "none" : listing);
  if (matches.size() != 1) return nullptr;
  Report("registered-card", matches.front());
  Report("registered-module", moduleName);

  // By name, from the system directory only.
  HMODULE module = LoadLibraryExA(moduleName.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {
    Fail("load-registered-module", GetLastError());
    return nullptr;
  }
  char loaded[MAX_PATH] = {}, system[MAX_PATH] = {};
  GetModuleFileNameA(module, loaded, sizeof loaded);
  const UINT systemLength = GetSystemDirectoryA(system, sizeof system);
  Report("loaded-module", loaded);
  Check(systemLength > 0 && _strnicmp(loaded, system, systemLength) == 0 && loaded[systemLength] == '\\',
        "module-from-system-directory", system);
  return reinterpret_cast<void*>(module);
}

void* ModuleFunction(void* module, const char* name) {
  void* function = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
  if (function == nullptr) Fail("get-proc-address", GetLastError());
  return function;
}

void UnloadModule(void* module) {
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
}

void* CreateOwnerWindow() {
  return CreateWindowExA(0, "STATIC", "vela3ro-host", WS_OVERLAPPED, 0, 0, 200, 100, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

void DestroyOwnerWindow(void* window) {
  if (window != nullptr) DestroyWindow(static_cast<HWND>(window));
}

bool WindowExists(const char* caption) { return FindWindowA(nullptr, caption) != nullptr; }

struct NoticeWatch::State {
  std::string caption;
  std::string expectedText;
  std::atomic<bool> stop{false};
  Sighting sighting;
  std::thread thread;

  // Reads the notice without sending it a message: its thread is blocked
  // in the reader exchange and processes none.
  void Run() {
    while (!stop.load()) {
      HWND notice = FindWindowA(nullptr, caption.c_str());
      if (notice != nullptr) {
        sighting.seen = true;
        sighting.topmost = (GetWindowLongPtrA(notice, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
        sighting.owner = GetWindow(notice, GW_OWNER);
        if (HWND control = GetWindow(notice, GW_CHILD); control != nullptr) {
          wchar_t text[128] = {};
          InternalGetWindowText(control, text, 128);
          char narrow[256] = {};
          WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
          char className[64] = {};
          GetClassNameA(control, className, sizeof className);
          sighting.text = narrow;
          sighting.controlClass = className;
          sighting.controlId = static_cast<long long>(GetWindowLongPtrA(control, GWLP_ID));
          if (sighting.text == expectedText && !stop.load()) {
            sighting.expectedTextWhileWaiting = true;
            return;
          }
        }
      }
      Sleep(10);
    }
  }
};

NoticeWatch::NoticeWatch(const char* caption, const char* expectedText) : state_(new State) {
  state_->caption = caption;
  state_->expectedText = expectedText;
  state_->thread = std::thread([state = state_.get()] { state->Run(); });
}

NoticeWatch::~NoticeWatch() {
  if (state_->thread.joinable()) Stop();
}

NoticeWatch::Sighting NoticeWatch::Stop() {
  state_->stop = true;
  state_->thread.join();
  return state_->sighting;
}

// ---- Resources ---------------------------------------------------------------

namespace {

class TemplateWriter {
 public:
  void Word(std::uint16_t v) { bytes.insert(bytes.end(), {std::uint8_t(v), std::uint8_t(v >> 8)}); }
  void Dword(std::uint32_t v) {
    Word(static_cast<std::uint16_t>(v));
    Word(static_cast<std::uint16_t>(v >> 16));
  }
  void Byte(std::uint8_t v) { bytes.push_back(v); }
  void Text(const char* ascii) {
    for (; *ascii != 0; ++ascii) Word(static_cast<std::uint8_t>(*ascii));
    Word(0);
  }
  void AlignDword() {
    while (bytes.size() % 4 != 0) bytes.push_back(0);
  }
  Bytes bytes;
};

// The notice's DLGTEMPLATEEX, written out field by field.
Bytes ExpectedNoticeTemplate() {
  TemplateWriter w;
  w.Word(1);
  w.Word(0xFFFF);
  w.Dword(0);           // help id
  w.Dword(0x00000008);  // WS_EX_TOPMOST
  w.Dword(0x80C008C8);  // WS_POPUP WS_CAPTION DS_CENTER DS_MODALFRAME DS_SETFONT DS_FIXEDSYS
  w.Word(1);            // one control
  w.Word(0);
  w.Word(0);
  w.Word(243);
  w.Word(66);
  w.Word(0);  // no menu
  w.Word(0);  // default class
  w.Text("VELA BaseCSP ReadOnly Minitreiber");
  w.Word(8);
  w.Word(400);
  w.Byte(0);
  w.Byte(1);  // DEFAULT_CHARSET
  w.Text("MS Shell Dlg");
  w.AlignDword();
  w.Dword(0);           // help id
  w.Dword(0);           // extended style
  w.Dword(0x50020001);  // WS_CHILD WS_VISIBLE WS_GROUP SS_CENTER
  w.Word(21);
  w.Word(21);
  w.Word(199);
  w.Word(26);
  w.Dword(0xFFFFFFFF);
  w.Word(0xFFFF);
  w.Word(0x0082);  // static
  w.Text("Bitte geben Sie Ihre PIN auf dem PinPad ein.");
  w.Word(0);  // no creation data
  return w.bytes;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR list) {
  reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
  return TRUE;
}

void CheckNoticeTemplate(HMODULE module) {
  const WORD german = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);
  std::vector<WORD> languages;
  EnumResourceLanguagesA(module, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(101), CollectLanguage,
                         reinterpret_cast<LONG_PTR>(&languages));
  Check(languages == std::vector<WORD>{german}, "dialog-101-language-1031",
        languages.empty() ? "none" : std::to_string(languages.front()));

  Bytes actual;
  if (HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(101), german); found != nullptr) {
    const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, found)));
    if (data != nullptr) actual.assign(data, data + SizeofResource(module, found));
  }
  const Bytes expected = ExpectedNoticeTemplate();
  std::size_t same = 0;
  while (same < expected.size() && same < actual.size() && expected[same] == actual[same]) ++same;
  // Only padding to the next DWORD may follow the template.
  bool padding = actual.size() >= expected.size() && actual.size() < expected.size() + 4;
  for (std::size_t i = expected.size(); padding && i < actual.size(); ++i) padding = actual[i] == 0;
  Check(same == expected.size() && padding, "dialog-101-template",
        "size " + std::to_string(actual.size()) + ", expected " + std::to_string(expected.size()) +
            ", first difference at " + std::to_string(same));
}

void CheckVersion(const char* dll, const char* version) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(dll, &ignored);
  Bytes block(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedLength = 0;
  std::string found = "none";
  if (size > 0 && GetFileVersionInfoA(dll, 0, size, block.data()) &&
      VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedLength) && fixed != nullptr) {
    found = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) +
            "." + std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
            std::to_string(LOWORD(fixed->dwFileVersionLS));
    Check(fixed->dwFileVersionMS == fixed->dwProductVersionMS && fixed->dwFileVersionLS == fixed->dwProductVersionLS,
          "product-version");
  }
  Check(found == std::string(version) + ".0", "file-version", found);
}

}  // namespace

void CheckResources(const char* dll, const char* version) {
  HMODULE module = LoadLibraryExA(dll, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    Fail("load-as-data", GetLastError());
    return;
  }
  CheckNoticeTemplate(module);
  FreeLibrary(module);
  CheckVersion(dll, version);
}

namespace {

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidA(sid, &text)) return "?";
  std::string out = text;
  LocalFree(text);
  return out;
}

}  // namespace

bool DescribeFileSecurity(const char* path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) return Fail("get-named-security-info", rc);
  Report("owner", SidText(owner));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  Report("dacl-protected", (control & SE_DACL_PROTECTED) != 0 ? "yes" : "no");
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    const auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      Report("ace", "type " + std::to_string(header->AceType));
      continue;
    }
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    Report("ace", SidText(const_cast<DWORD*>(&allowed->SidStart)) + " " + Code(allowed->Mask));
  }
  LocalFree(descriptor);
  return true;
}

bool SetFileOwner(const char* path, const char* sidText) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidA(sidText, &sid)) return Fail("convert-sid", GetLastError());
  const DWORD rc = SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, sid,
                                         nullptr, nullptr, nullptr);
  LocalFree(sid);
  if (rc != ERROR_SUCCESS) return Fail("set-owner", rc);
  return true;
}

std::string TodaysLogFileName() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char name[64];
  std::snprintf(name, sizeof name, "vela3ro-%04u%02u%02u-%06lu.txt", now.wYear, now.wMonth, now.wDay,
                static_cast<unsigned long>(GetCurrentProcessId()));
  return name;
}

}  // namespace vela::winetest
