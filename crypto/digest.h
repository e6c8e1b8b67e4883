// The SHA family behind one interface that selects the algorithm by id, in
// the shape of RFC 4634: reset, input and result on a context, sizes by id,
// small integer result codes (crypto/sha_context.h) that a context remembers.
#pragma once

#include "crypto/sha1.h"
#include "crypto/sha256.h"
#include "crypto/sha512.h"

namespace vela {

enum ShaId : int { kSha1 = 0, kSha224 = 1, kSha256 = 2, kSha384 = 3, kSha512 = 4 };

inline constexpr std::size_t kShaMaxHashSize = 64;
inline constexpr std::size_t kShaMaxBlockSize = 128;

struct ShaFamilyContext {
  int whichSha;
  union {
    Sha1Context sha1;
    Sha256Context sha256;  // SHA-224 and SHA-256
    Sha512Context sha512;  // SHA-384 and SHA-512
  } ctx;
};

// 0, 1 for a null context, 4 for an id outside 0 to 4.
int ShaReset(ShaFamilyContext* context, int whichSha);
// A count of 0 succeeds whatever the pointers; otherwise 1 for a null
// pointer, 3 after the result was taken, or the code the context remembers.
int ShaInput(ShaFamilyContext* context, const std::uint8_t* data, std::size_t length);
// Writes ShaHashSize bytes; may be called again for the same digest.
int ShaResult(ShaFamilyContext* context, std::uint8_t* digest);

// Never fail: 64 for ids 0 to 2 and 128 otherwise; 20, 28, 32, 48 for ids 0
// to 3 and 64 otherwise.
int ShaBlockSize(int whichSha);
int ShaHashSize(int whichSha);

// Reset, input and result on a context of the call; the first non-zero code.
int ShaHash(int whichSha, const std::uint8_t* data, std::size_t length, std::uint8_t* digest);

}  // namespace vela
