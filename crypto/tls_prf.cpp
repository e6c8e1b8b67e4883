#include "crypto/tls_prf.h"

#include <algorithm>

#include "core/secure_wipe.h"
#include "crypto/hmac.h"

namespace vela {
namespace {

// The two HMACs of TLS 1.0 behind one shape. A keyed context is copied for
// each HMAC, so the key pads are hashed once per expansion.
struct Md5Mac {
  static constexpr std::size_t kSize = kMd5HashSize;
  HmacMd5Context context;
  void Key(const std::uint8_t* key, std::size_t length) { HmacMd5Reset(&context, key, length); }
  void Input(const std::uint8_t* data, std::size_t length) { HmacMd5Input(&context, data, length); }
  void Result(std::uint8_t* digest) { HmacMd5Result(&context, digest); }
};

struct Sha1Mac {
  static constexpr std::size_t kSize = kSha1HashSize;
  HmacContext context;
  void Key(const std::uint8_t* key, std::size_t length) { HmacReset(&context, kSha1, key, length); }
  void Input(const std::uint8_t* data, std::size_t length) { HmacInput(&context, data, length); }
  void Result(std::uint8_t* digest) { HmacResult(&context, digest); }
};

// P_hash over the seed given in two parts (label and seed for the PRF), so
// that no joined copy is needed.
template <class Mac>
void Expand(const std::uint8_t* secret, std::size_t secretLength, const std::uint8_t* seed1, std::size_t seed1Length,
            const std::uint8_t* seed2, std::size_t seed2Length, std::uint8_t* out, std::size_t outLength) {
  Mac keyed;
  keyed.Key(secret, secretLength);
  std::uint8_t a[Mac::kSize];
  std::uint8_t chunk[Mac::kSize];
  Mac mac = keyed;  // A(1) = HMAC(secret, seed)
  mac.Input(seed1, seed1Length);
  mac.Input(seed2, seed2Length);
  mac.Result(a);
  while (outLength > 0) {
    mac = keyed;
    mac.Input(a, Mac::kSize);
    mac.Input(seed1, seed1Length);
    mac.Input(seed2, seed2Length);
    mac.Result(chunk);
    const std::size_t take = std::min(outLength, Mac::kSize);
    std::copy(chunk, chunk + take, out);
    out += take;
    outLength -= take;
    if (outLength > 0) {
      mac = keyed;  // A(i+1) = HMAC(secret, A(i))
      mac.Input(a, Mac::kSize);
      mac.Result(a);
    }
  }
  SecureWipe(&keyed, sizeof(keyed));
  SecureWipe(&mac, sizeof(mac));
  SecureWipe(a, sizeof(a));
  SecureWipe(chunk, sizeof(chunk));
}

}  // namespace

int PHash(const std::uint8_t* seed, std::size_t seedLength, const std::uint8_t* secret, std::size_t secretLength,
          std::uint8_t* out, std::size_t outLength, int hashLength) {
  if (seed == nullptr || secret == nullptr || out == nullptr) return -1;
  switch (hashLength) {
    case static_cast<int>(kMd5HashSize):
      Expand<Md5Mac>(secret, secretLength, seed, seedLength, nullptr, 0, out, outLength);
      return 0;
    case static_cast<int>(kSha1HashSize):
      Expand<Sha1Mac>(secret, secretLength, seed, seedLength, nullptr, 0, out, outLength);
      return 0;
    default:
      return -1;
  }
}

int TlsPrf(const std::uint8_t* secret, std::size_t secretLength, const std::uint8_t* seed, std::size_t seedLength,
           const std::uint8_t* label, std::size_t labelLength, std::uint8_t* out, std::size_t outLength) {
  if (outLength < kTlsPrfOutputSize || out == nullptr || secret == nullptr || seed == nullptr) return -1;
  if (label == nullptr && labelLength != 0) return -1;
  // S1 and S2 share the middle byte when the length is odd.
  const std::size_t half = (secretLength + 1) / 2;
  const std::uint8_t* s1 = secret;
  const std::uint8_t* s2 = secret + (secretLength - half);
  std::uint8_t sha1Part[kTlsPrfOutputSize];
  Expand<Md5Mac>(s1, half, label, labelLength, seed, seedLength, out, kTlsPrfOutputSize);
  Expand<Sha1Mac>(s2, half, label, labelLength, seed, seedLength, sha1Part, kTlsPrfOutputSize);
  for (std::size_t i = 0; i < kTlsPrfOutputSize; ++i) out[i] ^= sha1Part[i];
  SecureWipe(sha1Part, sizeof(sha1Part));
  return 0;
}

}  // namespace vela
