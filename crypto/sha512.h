// SHA-384 and SHA-512 (FIPS 180-4).
#pragma once

#include "crypto/sha_context.h"

namespace vela {

using Sha512Context = ShaContext<std::uint64_t, 8, 128>;  // also SHA-384
inline constexpr std::size_t kSha384HashSize = 48;
inline constexpr std::size_t kSha512HashSize = 64;

int Sha384Reset(Sha512Context* context);
int Sha512Reset(Sha512Context* context);
int Sha512Input(Sha512Context* context, const std::uint8_t* data, std::size_t length);  // SHA-384 too
int Sha384Result(Sha512Context* context, std::uint8_t digest[kSha384HashSize]);
int Sha512Result(Sha512Context* context, std::uint8_t digest[kSha512HashSize]);

// The compression function over `blocks` consecutive 128-byte blocks.
// Runs the path chosen for this processor (crypto/sha_paths.h).
void Sha512Compress(std::uint64_t state[8], const std::uint8_t* data, std::size_t blocks);

}  // namespace vela
