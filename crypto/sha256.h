// SHA-224 and SHA-256 (FIPS 180-4).
#pragma once

#include "crypto/sha_context.h"

namespace vela {

using Sha256Context = ShaContext<std::uint32_t, 8, 64>;  // also SHA-224
inline constexpr std::size_t kSha224HashSize = 28;
inline constexpr std::size_t kSha256HashSize = 32;

int Sha224Reset(Sha256Context* context);
int Sha256Reset(Sha256Context* context);
int Sha256Input(Sha256Context* context, const std::uint8_t* data, std::size_t length);  // SHA-224 too
int Sha224Result(Sha256Context* context, std::uint8_t digest[kSha224HashSize]);
int Sha256Result(Sha256Context* context, std::uint8_t digest[kSha256HashSize]);

// The compression function over `blocks` consecutive 64-byte blocks.
// Runs the path chosen for this processor (crypto/sha_paths.h).
void Sha256Compress(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks);

}  // namespace vela
