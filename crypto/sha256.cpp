#include "crypto/sha256.h"

#include "crypto/sha2_core.h"
#include "crypto/sha_engine.h"

namespace vela {
namespace {

struct Sha256Traits {
  using Word = std::uint32_t;
  static constexpr int kRounds = 64;
  static constexpr int kB0[3] = {2, 13, 22};
  static constexpr int kB1[3] = {6, 11, 25};
  static constexpr int kS0[3] = {7, 18, 3};
  static constexpr int kS1[3] = {17, 19, 10};
  static constexpr Word kK[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
      0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
      0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
      0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
      0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
      0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
      0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
  };
  static Word Load(const std::uint8_t* p) { return sha_engine::LoadBigEndian32(p); }
};

constexpr std::uint32_t kSha224Initial[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                             0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};
constexpr std::uint32_t kSha256Initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

}  // namespace

void Sha256Compress(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks) {
  sha2_core::Compress<Sha256Traits>(state, data, blocks);
}

int Sha224Reset(Sha256Context* context) {
  if (context == nullptr) return kShaNull;
  sha_engine::Start(context, kSha224Initial);
  return kShaSuccess;
}

int Sha256Reset(Sha256Context* context) {
  if (context == nullptr) return kShaNull;
  sha_engine::Start(context, kSha256Initial);
  return kShaSuccess;
}

int Sha256Input(Sha256Context* context, const std::uint8_t* data, std::size_t length) {
  return sha_engine::Input<Sha256Context, Sha256Compress>(context, data, length);
}

int Sha224Result(Sha256Context* context, std::uint8_t digest[kSha224HashSize]) {
  return sha_engine::Result<Sha256Context, Sha256Compress>(context, digest, kSha224HashSize);
}

int Sha256Result(Sha256Context* context, std::uint8_t digest[kSha256HashSize]) {
  return sha_engine::Result<Sha256Context, Sha256Compress>(context, digest, kSha256HashSize);
}

}  // namespace vela
