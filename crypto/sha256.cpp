#include "crypto/sha256.h"

#include "crypto/sha2_constants.h"
#include "crypto/sha2_core.h"
#include "crypto/sha_engine.h"
#include "crypto/sha_paths.h"

namespace vela {
namespace {

struct Sha256Traits {
  using Word = std::uint32_t;
  static constexpr int kRounds = 64;
  static constexpr int kB0[3] = {2, 13, 22};
  static constexpr int kB1[3] = {6, 11, 25};
  static constexpr int kS0[3] = {7, 18, 3};
  static constexpr int kS1[3] = {17, 19, 10};
  static constexpr const Word (&kK)[64] = sha2_core::kSha256RoundConstants;
  static Word Load(const std::uint8_t* p) { return sha_engine::LoadBigEndian32(p); }
};

constexpr std::uint32_t kSha224Initial[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                             0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};
constexpr std::uint32_t kSha256Initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

}  // namespace

void Sha256CompressPortable(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks) {
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
