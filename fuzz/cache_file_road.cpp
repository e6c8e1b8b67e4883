// The cache of the card's public objects is a file any program of the user
// may rewrite. Its parser, and what the token makes of each container
// before the card is asked (the certificate parsed, its key checked), take
// any bytes with a digest that fits.
#include "cache_file_road.h"

#include <optional>
#include <vector>

#include "crypto/digest.h"
#include "pkcs11/card_proof.h"
#include "pkcs11/object_cache.h"

namespace vela::fuzz {

bool DriveCacheFileRoad(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> file(data, data + size);
  std::uint8_t digest[kShaMaxHashSize];
  ShaHash(kSha256, data, size, digest);
  file.insert(file.end(), digest, digest + 32);
  const std::optional<pkcs11::CachedCard> card = pkcs11::ObjectCache::Parse(file);
  if (!card) return true;
  // Every byte of every object is looked at, as a listing would.
  volatile std::size_t seen = 0;
  for (const pkcs11::ContainerData& container : card->containers) {
    const std::optional<pkcs11::ContainerData> shape = pkcs11::CachedContainerShape(container);
    if (!shape) continue;
    for (const pkcs11::Object& object : pkcs11::ContainerObjects(*shape)) {
      for (const auto& [type, value] : object.attributes) {
        for (const std::uint8_t b : value) seen = seen + b + type;
      }
    }
  }
  // What the parser took must make the same file again.
  return pkcs11::ObjectCache::Encode(*card) == file;
}

}  // namespace vela::fuzz
