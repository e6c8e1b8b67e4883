// The card's public objects kept between programs, per user: every program
// that starts reads the card's certificates and public keys, some 4,800
// bytes, which a contact reader at the card's 9,600 bit/s takes seconds
// over. A cache file holds what one card gave (its containers' public keys
// and certificate files), under $XDG_CACHE_HOME/vela3ro/ (else
// ~/.cache/vela3ro/). It is never trusted alone: the token uses a cached
// container only after a cheap read from the card proves it unchanged
// (card_proof.h). It holds nothing secret: no PIN, no private or derived
// value.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pkcs11/objects.h"

namespace vela::pkcs11 {

struct CachedCard {
  std::array<std::uint8_t, 10> serial{};
  Bytes atr;
  std::vector<ContainerData> containers;
};

class ObjectCache {
 public:
  // A file bigger than this is no cache of ours; at most this many cards are kept.
  static constexpr std::size_t kMaxFileBytes = 256 * 1024;
  static constexpr std::size_t kMaxCards = 16;

  // The user's cache folder; empty when none can be told (no home).
  static std::string DefaultDirectory();

  explicit ObjectCache(std::string directory) : directory_(std::move(directory)) {}

  // What the file of this card holds. Nothing for a file that is absent,
  // not a regular file of this user's with mode 0600 and one link, larger
  // than the bound, corrupt, or of another card.
  std::optional<CachedCard> Load(const std::array<std::uint8_t, 10>& serial, const Bytes& atr) const;
  // Writes the card's file anew (a temporary file renamed over it), making
  // the folder (0700) when it is missing. False when the folder is not this
  // user's alone, or writing fails; nothing is left half written.
  bool Store(const CachedCard& card) const;

 private:
  std::string FileName(const std::array<std::uint8_t, 10>& serial, const Bytes& atr) const;
  std::string directory_;
};

}  // namespace vela::pkcs11
