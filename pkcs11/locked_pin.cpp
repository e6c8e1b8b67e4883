#include "pkcs11/locked_pin.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "core/secure_wipe.h"

namespace vela::pkcs11 {

LockedPin::~LockedPin() { Clear(); }

LockedPin& LockedPin::operator=(LockedPin&& other) noexcept {
  if (this == &other) return *this;
  Clear();
  page_ = std::exchange(other.page_, nullptr);
  pageSize_ = std::exchange(other.pageSize_, 0);
  length_ = std::exchange(other.length_, 0);
  return *this;
}

bool LockedPin::Keep(std::span<const std::uint8_t> pin) {
  Clear();
  if (pin.empty() || pin.size() > kCapacity) return false;
  const long size = sysconf(_SC_PAGESIZE);
  const std::size_t pageSize = size > 0 ? static_cast<std::size_t>(size) : 4096;
  void* page = mmap(nullptr, pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return false;
  // Each is a protection where the system grants it (a locked-memory limit
  // of zero, an older kernel); the PIN is kept either way, as a host's
  // memory holds it anyway while the application passes it in. The lock is
  // the system call itself: the sanitizers make mlock() a no-op.
  (void)syscall(SYS_mlock, page, pageSize);
  (void)madvise(page, pageSize, MADV_DONTDUMP);
  (void)madvise(page, pageSize, MADV_WIPEONFORK);
  page_ = static_cast<std::uint8_t*>(page);
  pageSize_ = pageSize;
  std::memcpy(page_, pin.data(), pin.size());
  length_ = pin.size();
  return true;
}

void LockedPin::Clear() {
  if (page_ == nullptr) return;
  SecureWipe(page_, pageSize_);
  (void)syscall(SYS_munlock, page_, pageSize_);
  munmap(page_, pageSize_);
  page_ = nullptr;
  pageSize_ = 0;
  length_ = 0;
}

}  // namespace vela::pkcs11
