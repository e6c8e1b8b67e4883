// The provider's part: loads the module, fills CARD_DATA as a host does,
// acquires and deletes the context, and lends the allocator callbacks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/minidriver_abi.h"

namespace vela::host {

// The host allocator. Every block is counted until freed, so a caller can
// check that nothing the module took or handed out is left over.
struct HostHeap {
  static void* VELA_WINAPI Alloc(SIZE_T size);
  static void* VELA_WINAPI ReAlloc(void* block, SIZE_T size);
  static void VELA_WINAPI Free(void* block);
  static std::size_t Live();
};

// The pad callback: hands back a copy of the data in the byte order a CAPI
// host keeps numbers in (little-endian); the module turns it back.
DWORD VELA_WINAPI PadData(CARD_SIGNING_INFO* signingInfo, DWORD cbMaxWidth, DWORD* pcbPaddedBuffer,
                          PBYTE* ppbPaddedBuffer);

struct HostFreeDeleter {
  void operator()(void* block) const { HostHeap::Free(block); }
};
// A buffer the module handed to the host; freed with the host's callback.
template <class T>
using HostPtr = std::unique_ptr<T, HostFreeDeleter>;

using AcquireFunction = DWORD(VELA_WINAPI*)(PCARD_DATA, DWORD);

class Module {
 public:
  // Loads the module from `path`; an empty path finds it (Linux:
  // DefaultModulePath). Returns null and sets `error` when it cannot be
  // loaded or lacks the entry.
  static std::unique_ptr<Module> Load(const std::string& path, std::string* error);
  // The module the platform's smart-card stack would load for a card with
  // `atr`: on Windows the DLL that the card database entry matching the ATR
  // names, from the system directory; on Linux the one Load("") finds.
  static std::unique_ptr<Module> LoadForCard(const std::vector<BYTE>& atr, std::string* error);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Takes over a loaded module's handle (the platform's loader calls this).
  static std::unique_ptr<Module> Adopt(void* handle, AcquireFunction acquire, std::string path) {
    return std::unique_ptr<Module>(new Module(handle, acquire, std::move(path)));
  }

  AcquireFunction acquire() const { return acquire_; }
  const std::string& path() const { return path_; }

 private:
  Module(void* handle, AcquireFunction acquire, std::string path)
      : handle_(handle), acquire_(acquire), path_(std::move(path)) {}
  void* handle_;
  AcquireFunction acquire_;
  std::string path_;
};

// Whether the module depends on the card (Windows: by the card database), so
// that a host loads it once it knows the card's ATR.
bool ModuleFoundPerCard();

// libvela3ro.so of the build tree the running program belongs to (beside it or
// one folder up), or of an installed layout (../lib); else the bare name, for
// the standard library path.
std::string DefaultModulePath();
// The same search from `directory` (a host library's own folder, say).
std::string ModulePathNear(const std::string& directory);

// One card as a host holds it. The handles and the ATR come from the caller's
// PC/SC connection, which must outlive this record.
class CardHost {
 public:
  CardHost(const Module& module, std::uintptr_t context, std::uintptr_t card, std::vector<BYTE> atr,
           DWORD version = CARD_DATA_VERSION_SEVEN);
  // The same with the module's entry itself, however it was found.
  CardHost(AcquireFunction acquire, std::uintptr_t context, std::uintptr_t card, std::vector<BYTE> atr,
           DWORD version = CARD_DATA_VERSION_SEVEN);
  ~CardHost();
  CardHost(const CardHost&) = delete;
  CardHost& operator=(const CardHost&) = delete;

  DWORD Acquire(DWORD flags = 0);
  // CardDeleteContext when a context is held; 0 otherwise.
  DWORD Delete();
  bool acquired() const { return data_.pvVendorSpecific != nullptr; }

  CARD_DATA* data() { return &data_; }
  CARD_DATA* operator->() { return &data_; }

 private:
  AcquireFunction acquire_;
  std::vector<BYTE> atr_;
  std::u16string cardName_ = u"VELA generation 3";
  CARD_DATA data_{};
};

}  // namespace vela::host
