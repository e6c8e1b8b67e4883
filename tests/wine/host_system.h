// The test host's Windows side, kept apart from the module's interface
// header, whose names windows.h defines as macros.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host_report.h"

namespace vela::winetest {

// The reader of winscard.dll with its card connected over T=1.
struct CardConnection {
  std::uintptr_t context = 0;
  std::uintptr_t card = 0;
  Bytes atr;
};
bool ConnectCard(CardConnection* connection);
void DisconnectCard(CardConnection* connection);

// LoadLibrary and GetProcAddress; null on failure, with the error reported.
void* LoadModule(const char* path);
void* ModuleFunction(void* module, const char* name);
// The module Windows would load for a card with `atr`: the "80000001" value of
// the one entry under the smart-card registry key whose ATR and mask match,
// loaded by that name from the system directory.
void* LoadRegisteredModule(const Bytes& atr);
void UnloadModule(void* module);

// A hidden top-level window of the host, to own the notice.
void* CreateOwnerWindow();
void DestroyOwnerWindow(void* window);
bool WindowExists(const char* caption);

// Watches, from a thread of its own, for the notice with `caption` until
// `Stop`, and records what it showed while the verification still ran.
class NoticeWatch {
 public:
  struct Sighting {
    bool seen = false;
    bool expectedTextWhileWaiting = false;
    std::string text;
    std::string controlClass;
    long long controlId = 0;
    bool topmost = false;
    void* owner = nullptr;
  };
  NoticeWatch(const char* caption, const char* expectedText);
  ~NoticeWatch();
  Sighting Stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Dialog 101 against its template, and the version block against `version`
// ("major.minor.patch").
void CheckResources(const char* dll, const char* version);

// The file's owner and its DACL as SDDL-style text: "owner: SID",
// "dacl-protected: yes|no", then "ace: SID MASK" per entry. False when Windows
// cannot say.
bool DescribeFileSecurity(const char* path);
// Makes `sid` (S-1-...) the file's owner, as an administrator can.
bool SetFileOwner(const char* path, const char* sid);

// The name of the module's log file for this process today
// ("vela3ro-YYYYMMDD-PPPPPP.txt"), from the same clock and process id.
std::string TodaysLogFileName();

}  // namespace vela::winetest
