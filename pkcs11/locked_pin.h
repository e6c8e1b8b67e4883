// A PIN kept for the length of a login, so that a login another program's
// card reset undid can be made again without asking the user. It lives in a
// page of its own: locked against swapping, left out of core dumps and
// zeroed in a child after fork, where the kernel offers these; wiped when the
// login ends and when the object goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vela::pkcs11 {

class LockedPin {
 public:
  // The longest PIN kept; longer ones are refused by the token before this.
  static constexpr std::size_t kCapacity = 64;

  LockedPin() = default;
  ~LockedPin();
  LockedPin(const LockedPin&) = delete;
  LockedPin& operator=(const LockedPin&) = delete;
  // The page changes hands; the one this held is wiped first.
  LockedPin& operator=(LockedPin&& other) noexcept;

  // False (and nothing kept) when no page could be had or the PIN is too long.
  bool Keep(std::span<const std::uint8_t> pin);
  // Wipes the PIN and gives the page back.
  void Clear();
  bool empty() const { return length_ == 0; }
  std::span<const std::uint8_t> bytes() const { return {page_, length_}; }

 private:
  std::uint8_t* page_ = nullptr;
  std::size_t pageSize_ = 0;
  std::size_t length_ = 0;
};

}  // namespace vela::pkcs11
