// P_hash and the TLS 1.0 pseudo-random function (RFC 2246, section 5).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vela {

inline constexpr std::size_t kTlsPrfOutputSize = 48;

// Expands `secret` and `seed` to `outLength` bytes with HMAC-MD5
// (`hashLength` 16) or HMAC-SHA-1 (20). Returns 0, or -1 for another hash
// length or a null seed, secret or output.
int PHash(const std::uint8_t* seed, std::size_t seedLength, const std::uint8_t* secret, std::size_t secretLength,
          std::uint8_t* out, std::size_t outLength, int hashLength);

// Writes exactly 48 bytes of PRF(secret, label, seed) and returns 0; returns
// -1 and writes nothing when `outLength` is below 48 or a pointer is missing.
int TlsPrf(const std::uint8_t* secret, std::size_t secretLength, const std::uint8_t* seed, std::size_t seedLength,
           const std::uint8_t* label, std::size_t labelLength, std::uint8_t* out, std::size_t outLength);

}  // namespace vela
