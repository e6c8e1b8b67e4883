#include "crypto/md5.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/secure_wipe.h"

namespace vela {
namespace {

inline std::uint32_t LoadLittleEndian32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return z ^ (x & (y ^ z)); }
inline std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return y ^ (z & (x ^ y)); }
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; }
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return y ^ (x | ~z); }

#define VELA_MD5_STEP(f, a, b, c, d, xk, s, t) a = b + std::rotl(a + f(b, c, d) + xk + t, s);

}  // namespace

void Md5Compress(std::uint32_t state[4], const std::uint8_t* p, std::size_t blocks) {
  for (; blocks > 0; --blocks, p += 64) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian32(p + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    VELA_MD5_STEP(F, a, b, c, d, x[0], 7, 0xd76aa478)
    VELA_MD5_STEP(F, d, a, b, c, x[1], 12, 0xe8c7b756)
    VELA_MD5_STEP(F, c, d, a, b, x[2], 17, 0x242070db)
    VELA_MD5_STEP(F, b, c, d, a, x[3], 22, 0xc1bdceee)
    VELA_MD5_STEP(F, a, b, c, d, x[4], 7, 0xf57c0faf)
    VELA_MD5_STEP(F, d, a, b, c, x[5], 12, 0x4787c62a)
    VELA_MD5_STEP(F, c, d, a, b, x[6], 17, 0xa8304613)
    VELA_MD5_STEP(F, b, c, d, a, x[7], 22, 0xfd469501)
    VELA_MD5_STEP(F, a, b, c, d, x[8], 7, 0x698098d8)
    VELA_MD5_STEP(F, d, a, b, c, x[9], 12, 0x8b44f7af)
    VELA_MD5_STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1)
    VELA_MD5_STEP(F, b, c, d, a, x[11], 22, 0x895cd7be)
    VELA_MD5_STEP(F, a, b, c, d, x[12], 7, 0x6b901122)
    VELA_MD5_STEP(F, d, a, b, c, x[13], 12, 0xfd987193)
    VELA_MD5_STEP(F, c, d, a, b, x[14], 17, 0xa679438e)
    VELA_MD5_STEP(F, b, c, d, a, x[15], 22, 0x49b40821)
    VELA_MD5_STEP(G, a, b, c, d, x[1], 5, 0xf61e2562)
    VELA_MD5_STEP(G, d, a, b, c, x[6], 9, 0xc040b340)
    VELA_MD5_STEP(G, c, d, a, b, x[11], 14, 0x265e5a51)
    VELA_MD5_STEP(G, b, c, d, a, x[0], 20, 0xe9b6c7aa)
    VELA_MD5_STEP(G, a, b, c, d, x[5], 5, 0xd62f105d)
    VELA_MD5_STEP(G, d, a, b, c, x[10], 9, 0x02441453)
    VELA_MD5_STEP(G, c, d, a, b, x[15], 14, 0xd8a1e681)
    VELA_MD5_STEP(G, b, c, d, a, x[4], 20, 0xe7d3fbc8)
    VELA_MD5_STEP(G, a, b, c, d, x[9], 5, 0x21e1cde6)
    VELA_MD5_STEP(G, d, a, b, c, x[14], 9, 0xc33707d6)
    VELA_MD5_STEP(G, c, d, a, b, x[3], 14, 0xf4d50d87)
    VELA_MD5_STEP(G, b, c, d, a, x[8], 20, 0x455a14ed)
    VELA_MD5_STEP(G, a, b, c, d, x[13], 5, 0xa9e3e905)
    VELA_MD5_STEP(G, d, a, b, c, x[2], 9, 0xfcefa3f8)
    VELA_MD5_STEP(G, c, d, a, b, x[7], 14, 0x676f02d9)
    VELA_MD5_STEP(G, b, c, d, a, x[12], 20, 0x8d2a4c8a)
    VELA_MD5_STEP(H, a, b, c, d, x[5], 4, 0xfffa3942)
    VELA_MD5_STEP(H, d, a, b, c, x[8], 11, 0x8771f681)
    VELA_MD5_STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122)
    VELA_MD5_STEP(H, b, c, d, a, x[14], 23, 0xfde5380c)
    VELA_MD5_STEP(H, a, b, c, d, x[1], 4, 0xa4beea44)
    VELA_MD5_STEP(H, d, a, b, c, x[4], 11, 0x4bdecfa9)
    VELA_MD5_STEP(H, c, d, a, b, x[7], 16, 0xf6bb4b60)
    VELA_MD5_STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70)
    VELA_MD5_STEP(H, a, b, c, d, x[13], 4, 0x289b7ec6)
    VELA_MD5_STEP(H, d, a, b, c, x[0], 11, 0xeaa127fa)
    VELA_MD5_STEP(H, c, d, a, b, x[3], 16, 0xd4ef3085)
    VELA_MD5_STEP(H, b, c, d, a, x[6], 23, 0x04881d05)
    VELA_MD5_STEP(H, a, b, c, d, x[9], 4, 0xd9d4d039)
    VELA_MD5_STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5)
    VELA_MD5_STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8)
    VELA_MD5_STEP(H, b, c, d, a, x[2], 23, 0xc4ac5665)
    VELA_MD5_STEP(I, a, b, c, d, x[0], 6, 0xf4292244)
    VELA_MD5_STEP(I, d, a, b, c, x[7], 10, 0x432aff97)
    VELA_MD5_STEP(I, c, d, a, b, x[14], 15, 0xab9423a7)
    VELA_MD5_STEP(I, b, c, d, a, x[5], 21, 0xfc93a039)
    VELA_MD5_STEP(I, a, b, c, d, x[12], 6, 0x655b59c3)
    VELA_MD5_STEP(I, d, a, b, c, x[3], 10, 0x8f0ccc92)
    VELA_MD5_STEP(I, c, d, a, b, x[10], 15, 0xffeff47d)
    VELA_MD5_STEP(I, b, c, d, a, x[1], 21, 0x85845dd1)
    VELA_MD5_STEP(I, a, b, c, d, x[8], 6, 0x6fa87e4f)
    VELA_MD5_STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0)
    VELA_MD5_STEP(I, c, d, a, b, x[6], 15, 0xa3014314)
    VELA_MD5_STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1)
    VELA_MD5_STEP(I, a, b, c, d, x[4], 6, 0xf7537e82)
    VELA_MD5_STEP(I, d, a, b, c, x[11], 10, 0xbd3af235)
    VELA_MD5_STEP(I, c, d, a, b, x[2], 15, 0x2ad7d2bb)
    VELA_MD5_STEP(I, b, c, d, a, x[9], 21, 0xeb86d391)
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
  }
}

#undef VELA_MD5_STEP

void Md5Init(Md5Context* context) {
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
  context->count[0] = 0;
  context->count[1] = 0;
}

void Md5Update(Md5Context* context, const std::uint8_t* data, std::size_t length) {
  if (length == 0) return;
  std::size_t index = (context->count[0] >> 3) & 0x3F;
  // The length counts modulo 2^64 bits, as the standard has it.
  const std::uint64_t bits = (std::uint64_t{context->count[1]} << 32 | context->count[0]) + (std::uint64_t{length} << 3);
  context->count[0] = static_cast<std::uint32_t>(bits);
  context->count[1] = static_cast<std::uint32_t>(bits >> 32);

  if (index != 0) {
    const std::size_t take = std::min(length, 64 - index);
    std::memcpy(context->buffer + index, data, take);
    data += take;
    length -= take;
    if (index + take < 64) return;
    Md5Compress(context->state, context->buffer, 1);
  }
  if (length >= 64) {
    Md5Compress(context->state, data, length / 64);
    data += length - length % 64;
    length %= 64;
  }
  std::memcpy(context->buffer, data, length);
}

void Md5Final(std::uint8_t digest[kMd5HashSize], Md5Context* context) {
  std::uint8_t lengthBytes[8];
  for (int i = 0; i < 8; ++i) lengthBytes[i] = static_cast<std::uint8_t>(context->count[i / 4] >> (8 * (i % 4)));
  const std::size_t index = (context->count[0] >> 3) & 0x3F;
  static constexpr std::uint8_t kPadding[64] = {0x80};
  Md5Update(context, kPadding, index < 56 ? 56 - index : 120 - index);
  Md5Update(context, lengthBytes, 8);
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<std::uint8_t>(context->state[i / 4] >> (8 * (i % 4)));
  SecureWipe(context, sizeof(*context));
}

int Md5Hash(const std::uint8_t* data, std::size_t length, std::uint8_t digest[kMd5HashSize]) {
  if (digest == nullptr || (data == nullptr && length != 0)) return 1;
  Md5Context context;
  Md5Init(&context);
  Md5Update(&context, data, length);
  Md5Final(digest, &context);
  return 0;
}

}  // namespace vela
