#include "crypto/sha512.h"

#include "crypto/sha2_constants.h"
#include "crypto/sha2_core.h"
#include "crypto/sha_engine.h"
#include "crypto/sha_paths.h"

namespace vela {
namespace {

struct Sha512Traits {
  using Word = std::uint64_t;
  static constexpr int kRounds = 80;
  static constexpr int kB0[3] = {28, 34, 39};
  static constexpr int kB1[3] = {14, 18, 41};
  static constexpr int kS0[3] = {1, 8, 7};
  static constexpr int kS1[3] = {19, 61, 6};
  static constexpr const Word (&kK)[80] = sha2_core::kSha512RoundConstants;
  static Word Load(const std::uint8_t* p) { return sha_engine::LoadBigEndian64(p); }
};

constexpr std::uint64_t kSha384Initial[8] = {
    0xcbbb9d5dc1059ed8ULL, 0x629a292a367cd507ULL, 0x9159015a3070dd17ULL, 0x152fecd8f70e5939ULL,
    0x67332667ffc00b31ULL, 0x8eb44a8768581511ULL, 0xdb0c2e0d64f98fa7ULL, 0x47b5481dbefa4fa4ULL,
};
constexpr std::uint64_t kSha512Initial[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

}  // namespace

void Sha512CompressPortable(std::uint64_t state[8], const std::uint8_t* data, std::size_t blocks) {
  sha2_core::Compress<Sha512Traits>(state, data, blocks);
}

int Sha384Reset(Sha512Context* context) {
  if (context == nullptr) return kShaNull;
  sha_engine::Start(context, kSha384Initial);
  return kShaSuccess;
}

int Sha512Reset(Sha512Context* context) {
  if (context == nullptr) return kShaNull;
  sha_engine::Start(context, kSha512Initial);
  return kShaSuccess;
}

int Sha512Input(Sha512Context* context, const std::uint8_t* data, std::size_t length) {
  return sha_engine::Input<Sha512Context, Sha512Compress>(context, data, length);
}

int Sha384Result(Sha512Context* context, std::uint8_t digest[kSha384HashSize]) {
  return sha_engine::Result<Sha512Context, Sha512Compress>(context, digest, kSha384HashSize);
}

int Sha512Result(Sha512Context* context, std::uint8_t digest[kSha512HashSize]) {
  return sha_engine::Result<Sha512Context, Sha512Compress>(context, digest, kSha512HashSize);
}

}  // namespace vela
