// The card's public objects kept between programs, per user: every program
// that starts reads the card's certificates and public keys, some 4,800
// bytes, which a contact reader at the card's 9,600 bit/s takes seconds
// over. A cache file holds what one card gave (its containers' public keys
// and certificate files), under $XDG_CACHE_HOME/vela3ro/ (else
// ~/.cache/vela3ro/). It is never trusted alone: the token uses a cached
// container only where the card proves its certificate's identity, and
// serves the key inside that certificate (card_proof.h). It holds nothing
// secret: no PIN, no private or derived value. It uses a cache folder only
// where the user it runs as owns it, and makes a missing one (0700) only in
// a folder of that user's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
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

  // The user's cache folder ($XDG_CACHE_HOME when absolute, else
  // $HOME/.cache); empty when none can be told (no home).
  static std::string DefaultHome();

  // Our folder is `home`/vela3ro. A `home` that is relative, not the
  // effective user's, or missing in a folder that is not the user's turns
  // the cache off: nothing is read or written.
  explicit ObjectCache(std::string home) : home_(std::move(home)) {}

  // Whether our folder holds the file of some card with this ATR: only then
  // is a card's serial number read before the minidriver is acquired, to
  // find its file.
  bool HoldsCardWith(const Bytes& atr) const;
  // What the file of this card holds. Nothing for a file that is absent,
  // not a regular file of this user's with mode 0600 and one link, larger
  // than the bound, corrupt, or of another card.
  std::optional<CachedCard> Load(const std::array<std::uint8_t, 10>& serial, const Bytes& atr) const;
  // Writes the card's file anew (a temporary file renamed over it), making
  // the cache folder and ours (0700) when they are missing.
  // False when either folder is not this user's (ours: alone), or writing
  // fails (a read-only or full file system): the old file stays as it was
  // and nothing is left half written.
  bool Store(const CachedCard& card) const;

  // The file's contents for a card: its fields, then their SHA-256 digest.
  static Bytes Encode(const CachedCard& card);
  // The file's contents, checked whole (its digest, version and every
  // field's length); nothing for anything else.
  static std::optional<CachedCard> Parse(std::span<const std::uint8_t> bytes);

 private:
  std::string FileName(const std::array<std::uint8_t, 10>& serial, const Bytes& atr) const;
  std::string home_;
};

}  // namespace vela::pkcs11
