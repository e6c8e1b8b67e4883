#include "crypto/sha1.h"

#include <bit>

#include "crypto/sha_engine.h"
#include "crypto/sha_paths.h"

namespace vela {
namespace {

constexpr std::uint32_t kSha1Initial[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};

inline std::uint32_t Choose(std::uint32_t b, std::uint32_t c, std::uint32_t d) { return d ^ (b & (c ^ d)); }
inline std::uint32_t Parity(std::uint32_t b, std::uint32_t c, std::uint32_t d) { return b ^ c ^ d; }
inline std::uint32_t Majority(std::uint32_t b, std::uint32_t c, std::uint32_t d) { return (b & c) | (d & (b | c)); }

// Five rounds, rotating the roles of the five variables instead of moving
// values between them.
#define VELA_SHA1_STEP(a, b, c, d, e, F, K, j)          \
  {                                                     \
    e += std::rotl(a, 5) + F(b, c, d) + K + W(j);       \
    b = std::rotl(b, 30);                               \
  }
#define VELA_SHA1_FIVE(F, K, j)                 \
  VELA_SHA1_STEP(a, b, c, d, e, F, K, j)        \
  VELA_SHA1_STEP(e, a, b, c, d, F, K, j + 1)    \
  VELA_SHA1_STEP(d, e, a, b, c, F, K, j + 2)    \
  VELA_SHA1_STEP(c, d, e, a, b, F, K, j + 3)    \
  VELA_SHA1_STEP(b, c, d, e, a, F, K, j + 4)

}  // namespace

void Sha1CompressPortable(std::uint32_t state[5], const std::uint8_t* p, std::size_t blocks) {
  for (; blocks > 0; --blocks, p += 64) {
    std::uint32_t w[16];
    auto W = [&](int j) -> std::uint32_t {
      if (j < 16) return w[j] = sha_engine::LoadBigEndian32(p + 4 * j);
      return w[j & 15] = std::rotl(w[(j + 13) & 15] ^ w[(j + 8) & 15] ^ w[(j + 2) & 15] ^ w[j & 15], 1);
    };
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    constexpr std::uint32_t k0 = 0x5A827999, k1 = 0x6ED9EBA1, k2 = 0x8F1BBCDC, k3 = 0xCA62C1D6;
    VELA_SHA1_FIVE(Choose, k0, 0)
    VELA_SHA1_FIVE(Choose, k0, 5)
    VELA_SHA1_FIVE(Choose, k0, 10)
    VELA_SHA1_FIVE(Choose, k0, 15)
    VELA_SHA1_FIVE(Parity, k1, 20)
    VELA_SHA1_FIVE(Parity, k1, 25)
    VELA_SHA1_FIVE(Parity, k1, 30)
    VELA_SHA1_FIVE(Parity, k1, 35)
    VELA_SHA1_FIVE(Majority, k2, 40)
    VELA_SHA1_FIVE(Majority, k2, 45)
    VELA_SHA1_FIVE(Majority, k2, 50)
    VELA_SHA1_FIVE(Majority, k2, 55)
    VELA_SHA1_FIVE(Parity, k3, 60)
    VELA_SHA1_FIVE(Parity, k3, 65)
    VELA_SHA1_FIVE(Parity, k3, 70)
    VELA_SHA1_FIVE(Parity, k3, 75)
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

#undef VELA_SHA1_FIVE
#undef VELA_SHA1_STEP

int Sha1Reset(Sha1Context* context) {
  if (context == nullptr) return kShaNull;
  sha_engine::Start(context, kSha1Initial);
  return kShaSuccess;
}

int Sha1Input(Sha1Context* context, const std::uint8_t* data, std::size_t length) {
  return sha_engine::Input<Sha1Context, Sha1Compress>(context, data, length);
}

int Sha1Result(Sha1Context* context, std::uint8_t digest[kSha1HashSize]) {
  return sha_engine::Result<Sha1Context, Sha1Compress>(context, digest, kSha1HashSize);
}

}  // namespace vela
