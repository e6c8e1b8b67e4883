// SHA-384/512 with AVX2: the message schedule four words at a time in the
// vector unit, sixteen words ahead of the rounds, which stay scalar (with
// BMI2's rotations) and take W + K from a small table. The two kinds of work
// interleave, so the vector unit's part costs the rounds next to nothing.
// Only these functions are built for AVX2 (function attributes, not file
// flags): nothing here runs before the dispatcher has seen the processor.
#include "crypto/sha_paths.h"

#if VELA_SHA_X86

#include <immintrin.h>

#include <bit>

#include "core/secure_wipe.h"
#include "crypto/sha2_constants.h"

#define VELA_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2")))
#define VELA_TARGET_AVX2_INLINE __attribute__((target("avx2,bmi,bmi2"), always_inline)) inline

namespace vela {
namespace {

template <int N>
VELA_TARGET_AVX2_INLINE __m256i RotateRight(__m256i x) {
  return _mm256_or_si256(_mm256_srli_epi64(x, N), _mm256_slli_epi64(x, 64 - N));
}

VELA_TARGET_AVX2_INLINE __m256i SmallSigma0(__m256i x) {
  return _mm256_xor_si256(_mm256_xor_si256(RotateRight<1>(x), RotateRight<8>(x)), _mm256_srli_epi64(x, 7));
}

VELA_TARGET_AVX2_INLINE __m256i SmallSigma1(__m256i x) {
  return _mm256_xor_si256(_mm256_xor_si256(RotateRight<19>(x), RotateRight<61>(x)), _mm256_srli_epi64(x, 6));
}

// Words 1 to 4 of the eight in `low`, `high`.
VELA_TARGET_AVX2_INLINE __m256i ShiftOneWord(__m256i low, __m256i high) {
  return _mm256_alignr_epi8(_mm256_permute2x128_si256(low, high, 0x21), low, 8);
}

// W[t..t+3] from x0..x3 = W[t-16..t-1]. W[t+2] and W[t+3] need sigma1 of
// W[t] and W[t+1], so the sigma1 part goes in two halves; a zero half stays
// zero through sigma1.
VELA_TARGET_AVX2_INLINE __m256i NextFourWords(__m256i x0, __m256i x1, __m256i x2, __m256i x3) {
  __m256i w = _mm256_add_epi64(_mm256_add_epi64(x0, SmallSigma0(ShiftOneWord(x0, x1))), ShiftOneWord(x2, x3));
  w = _mm256_add_epi64(w, SmallSigma1(_mm256_permute2x128_si256(x3, x3, 0x81)));
  return _mm256_add_epi64(w, SmallSigma1(_mm256_permute2x128_si256(w, w, 0x08)));
}

VELA_TARGET_AVX2_INLINE void StoreWk(std::uint64_t* wk, int t, __m256i w) {
  const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sha2_core::kSha512RoundConstants + t));
  _mm256_store_si256(reinterpret_cast<__m256i*>(wk + t), _mm256_add_epi64(w, k));
}

VELA_TARGET_AVX2_INLINE std::uint64_t BigSigma0(std::uint64_t x) {
  return std::rotr(x, 28) ^ std::rotr(x, 34) ^ std::rotr(x, 39);
}
VELA_TARGET_AVX2_INLINE std::uint64_t BigSigma1(std::uint64_t x) {
  return std::rotr(x, 14) ^ std::rotr(x, 18) ^ std::rotr(x, 41);
}

// One round; the callers rotate the roles of the eight variables. The two
// halves of Ch have no bit in common, so they are added, not joined. Maj is
// b ^ ((a ^ b) & (b ^ c)), and this round's a ^ b is the next one's b ^ c:
// one operation fewer on a path that is short of integer units.
#define VELA_SHA512_ROUND(a, b, c, d, e, f, g, h, t) \
  {                                                  \
    h += BigSigma1(e) + (e & f) + (~e & g) + wk[t];  \
    d += h;                                          \
    const std::uint64_t ab = a ^ b;                  \
    h += BigSigma0(a) + (b ^ (ab & bc));             \
    bc = ab;                                         \
  }
#define VELA_SHA512_FOUR_ROUNDS_A(t)               \
  VELA_SHA512_ROUND(a, b, c, d, e, f, g, h, t)     \
  VELA_SHA512_ROUND(h, a, b, c, d, e, f, g, t + 1) \
  VELA_SHA512_ROUND(g, h, a, b, c, d, e, f, t + 2) \
  VELA_SHA512_ROUND(f, g, h, a, b, c, d, e, t + 3)
#define VELA_SHA512_FOUR_ROUNDS_B(t)               \
  VELA_SHA512_ROUND(e, f, g, h, a, b, c, d, t)     \
  VELA_SHA512_ROUND(d, e, f, g, h, a, b, c, t + 1) \
  VELA_SHA512_ROUND(c, d, e, f, g, h, a, b, t + 2) \
  VELA_SHA512_ROUND(b, c, d, e, f, g, h, a, t + 3)

}  // namespace

VELA_TARGET_AVX2 void Sha512CompressAvx2(std::uint64_t state[8], const std::uint8_t* data, std::size_t blocks) {
  // W + K of one block, 32-byte aligned by hand: the 64-bit Windows ABI
  // promises only 16, and the compiler does not realign there.
  std::uint64_t space[80 + 4];
  std::uint64_t* wk =
      reinterpret_cast<std::uint64_t*>((reinterpret_cast<std::uintptr_t>(space) + 31) & ~std::uintptr_t{31});
  const __m256i byteOrder =
      _mm256_set_epi64x(0x08090a0b0c0d0e0fLL, 0x0001020304050607LL, 0x08090a0b0c0d0e0fLL, 0x0001020304050607LL);
  std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
  std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (; blocks > 0; --blocks, data += 128) {
    std::uint64_t bc = b ^ c;
    const __m256i* in = reinterpret_cast<const __m256i*>(data);
    __m256i x0 = _mm256_shuffle_epi8(_mm256_loadu_si256(in), byteOrder);
    __m256i x1 = _mm256_shuffle_epi8(_mm256_loadu_si256(in + 1), byteOrder);
    __m256i x2 = _mm256_shuffle_epi8(_mm256_loadu_si256(in + 2), byteOrder);
    __m256i x3 = _mm256_shuffle_epi8(_mm256_loadu_si256(in + 3), byteOrder);
    StoreWk(wk, 0, x0);
    StoreWk(wk, 4, x1);
    StoreWk(wk, 8, x2);
    StoreWk(wk, 12, x3);
    for (int t = 0; t < 64; t += 8) {
      VELA_SHA512_FOUR_ROUNDS_A(t)
      x0 = NextFourWords(x0, x1, x2, x3);
      StoreWk(wk, t + 16, x0);
      VELA_SHA512_FOUR_ROUNDS_B(t + 4)
      x1 = NextFourWords(x1, x2, x3, x0);
      StoreWk(wk, t + 20, x1);
      // Back to x0..x3 in order for the next turn.
      const __m256i x0Next = x2, x1Next = x3, x2Next = x0, x3Next = x1;
      x0 = x0Next;
      x1 = x1Next;
      x2 = x2Next;
      x3 = x3Next;
    }
    for (int t = 64; t < 80; t += 8) {
      VELA_SHA512_FOUR_ROUNDS_A(t)
      VELA_SHA512_FOUR_ROUNDS_B(t + 4)
    }
    a = state[0] += a;
    b = state[1] += b;
    c = state[2] += c;
    d = state[3] += d;
    e = state[4] += e;
    f = state[5] += f;
    g = state[6] += g;
    h = state[7] += h;
  }
  // W holds the message (a key pad, in HMAC).
  SecureWipe(space, sizeof(space));
}

#undef VELA_SHA512_FOUR_ROUNDS_B
#undef VELA_SHA512_FOUR_ROUNDS_A
#undef VELA_SHA512_ROUND

}  // namespace vela

#endif  // VELA_SHA_X86
