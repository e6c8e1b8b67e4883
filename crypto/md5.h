// MD5 (RFC 1321).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vela {

inline constexpr std::size_t kMd5HashSize = 16;

struct Md5Context {
  std::uint32_t state[4];
  std::uint32_t count[2];  // message length in bits, low word first
  std::uint8_t buffer[64];
};

void Md5Init(Md5Context* context);
void Md5Update(Md5Context* context, const std::uint8_t* data, std::size_t length);
// Writes the digest and wipes the context.
void Md5Final(std::uint8_t digest[kMd5HashSize], Md5Context* context);

// One-shot MD5. Returns 0, or 1 for a null digest or a null `data` with a
// non-zero length.
int Md5Hash(const std::uint8_t* data, std::size_t length, std::uint8_t digest[kMd5HashSize]);

// The compression function over `blocks` consecutive 64-byte blocks.
void Md5Compress(std::uint32_t state[4], const std::uint8_t* data, std::size_t blocks);

}  // namespace vela
