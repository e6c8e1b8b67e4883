#include "crypto/hmac.h"

#include <algorithm>
#include <cstring>

#include "core/secure_wipe.h"

namespace vela {
namespace {

constexpr std::uint8_t kInnerPad = 0x36;
constexpr std::uint8_t kOuterPad = 0x5C;

// The key XOR `pad`, filled up to `blockSize` with `pad` itself.
void MakePad(const std::uint8_t* key, std::size_t keyLength, std::uint8_t pad, std::uint8_t* out,
             std::size_t blockSize) {
  for (std::size_t i = 0; i < keyLength; ++i) out[i] = key[i] ^ pad;
  std::fill(out + keyLength, out + blockSize, pad);
}

}  // namespace

int HmacReset(HmacContext* context, int whichSha, const std::uint8_t* key, std::size_t keyLength) {
  if (context == nullptr) return 1;
  // Until a reset succeeds, input and result on this context fail.
  context->shaContext.whichSha = -1;
  if (key == nullptr && keyLength != 0) return 1;
  if (whichSha < kSha1 || whichSha > kSha512) return 1;
  context->whichSha = whichSha;
  context->hashSize = ShaHashSize(whichSha);
  context->blockSize = ShaBlockSize(whichSha);
  const std::size_t blockSize = static_cast<std::size_t>(context->blockSize);

  std::uint8_t hashedKey[kShaMaxHashSize];
  if (keyLength > blockSize) {
    if (ShaHash(whichSha, key, keyLength, hashedKey) != kShaSuccess) return 1;
    key = hashedKey;
    keyLength = static_cast<std::size_t>(context->hashSize);
  }
  std::uint8_t kIpad[kShaMaxBlockSize];
  MakePad(key, keyLength, kInnerPad, kIpad, blockSize);
  MakePad(key, keyLength, kOuterPad, context->kOpad, blockSize);
  int rc = ShaReset(&context->shaContext, whichSha);
  if (rc == kShaSuccess) rc = ShaInput(&context->shaContext, kIpad, blockSize);
  SecureWipe(hashedKey, sizeof(hashedKey));
  SecureWipe(kIpad, sizeof(kIpad));
  return rc == kShaSuccess ? 0 : 1;
}

int HmacInput(HmacContext* context, const std::uint8_t* text, std::size_t length) {
  if (context == nullptr) return kShaNull;
  return ShaInput(&context->shaContext, text, length);
}

int HmacResult(HmacContext* context, std::uint8_t* digest) {
  if (context == nullptr || digest == nullptr) return 1;
  int rc = ShaResult(&context->shaContext, digest);
  if (rc == kShaSuccess) rc = ShaReset(&context->shaContext, context->whichSha);
  if (rc == kShaSuccess) rc = ShaInput(&context->shaContext, context->kOpad, static_cast<std::size_t>(context->blockSize));
  if (rc == kShaSuccess) rc = ShaInput(&context->shaContext, digest, static_cast<std::size_t>(context->hashSize));
  if (rc == kShaSuccess) rc = ShaResult(&context->shaContext, digest);
  return rc == kShaSuccess ? 0 : 1;
}

int Hmac(int whichSha, const std::uint8_t* text, std::size_t textLength, const std::uint8_t* key,
         std::size_t keyLength, std::uint8_t* digest) {
  HmacContext context;
  int rc = HmacReset(&context, whichSha, key, keyLength);
  if (rc == 0) rc = HmacInput(&context, text, textLength) == kShaSuccess ? 0 : 1;
  if (rc == 0) rc = HmacResult(&context, digest);
  SecureWipe(&context, sizeof(context));
  return rc;
}

void HmacMd5Reset(HmacMd5Context* context, const std::uint8_t* key, std::size_t keyLength) {
  std::uint8_t hashedKey[kMd5HashSize];
  if (keyLength > 64) {
    Md5Hash(key, keyLength, hashedKey);
    key = hashedKey;
    keyLength = kMd5HashSize;
  }
  std::uint8_t kIpad[64];
  MakePad(key, keyLength, kInnerPad, kIpad, 64);
  MakePad(key, keyLength, kOuterPad, context->kOpad, 64);
  Md5Init(&context->inner);
  Md5Update(&context->inner, kIpad, 64);
  SecureWipe(hashedKey, sizeof(hashedKey));
  SecureWipe(kIpad, sizeof(kIpad));
}

void HmacMd5Input(HmacMd5Context* context, const std::uint8_t* text, std::size_t length) {
  Md5Update(&context->inner, text, length);
}

void HmacMd5Result(HmacMd5Context* context, std::uint8_t digest[kMd5HashSize]) {
  Md5Final(digest, &context->inner);
  Md5Init(&context->inner);
  Md5Update(&context->inner, context->kOpad, 64);
  Md5Update(&context->inner, digest, kMd5HashSize);
  Md5Final(digest, &context->inner);
}

int HmacMd5(const std::uint8_t* text, std::size_t textLength, const std::uint8_t* key, std::size_t keyLength,
            std::uint8_t digest[kMd5HashSize]) {
  if (digest == nullptr || (text == nullptr && textLength != 0) || (key == nullptr && keyLength != 0)) return 1;
  HmacMd5Context context;
  HmacMd5Reset(&context, key, keyLength);
  HmacMd5Input(&context, text, textLength);
  HmacMd5Result(&context, digest);
  SecureWipe(&context, sizeof(context));
  return 0;
}

}  // namespace vela
