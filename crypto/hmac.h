// HMAC (RFC 2104) over the SHA family, selected by id, and over MD5.
#pragma once

#include "crypto/digest.h"
#include "crypto/md5.h"

namespace vela {

struct HmacContext {
  int whichSha;
  int hashSize;
  int blockSize;
  ShaFamilyContext shaContext;
  std::uint8_t kOpad[kShaMaxBlockSize];  // the key XOR 0x5C, up to the block size
};

// Reset and Result return 0, or 1 on any failure; Input returns the family
// input's own code.
int HmacReset(HmacContext* context, int whichSha, const std::uint8_t* key, std::size_t keyLength);
int HmacInput(HmacContext* context, const std::uint8_t* text, std::size_t length);
int HmacResult(HmacContext* context, std::uint8_t* digest);
// Reset, input and result on a context of the call: 0 or 1.
int Hmac(int whichSha, const std::uint8_t* text, std::size_t textLength, const std::uint8_t* key,
         std::size_t keyLength, std::uint8_t* digest);

struct HmacMd5Context {
  Md5Context inner;
  std::uint8_t kOpad[64];
};

void HmacMd5Reset(HmacMd5Context* context, const std::uint8_t* key, std::size_t keyLength);
void HmacMd5Input(HmacMd5Context* context, const std::uint8_t* text, std::size_t length);
void HmacMd5Result(HmacMd5Context* context, std::uint8_t digest[kMd5HashSize]);
// One-shot HMAC-MD5: 0, or 1 for a null digest or a null text or key with a
// non-zero length.
int HmacMd5(const std::uint8_t* text, std::size_t textLength, const std::uint8_t* key, std::size_t keyLength,
            std::uint8_t digest[kMd5HashSize]);

}  // namespace vela
