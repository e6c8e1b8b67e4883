// SHA-1 (FIPS 180-4).
#pragma once

#include "crypto/sha_context.h"

namespace vela {

using Sha1Context = ShaContext<std::uint32_t, 5, 64>;
inline constexpr std::size_t kSha1HashSize = 20;

int Sha1Reset(Sha1Context* context);
int Sha1Input(Sha1Context* context, const std::uint8_t* data, std::size_t length);
int Sha1Result(Sha1Context* context, std::uint8_t digest[kSha1HashSize]);

// The compression function over `blocks` consecutive 64-byte blocks.
// Runs the path chosen for this processor (crypto/sha_paths.h).
void Sha1Compress(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks);

}  // namespace vela
