// SHA-1 and SHA-256 with the SHA extensions. Only these functions are built
// for those instructions (function attributes, not file flags), so the
// inline code they share with the rest of the module stays plain x86-64 and
// nothing here runs before the dispatcher has seen the processor's CPUID.
#include "crypto/sha_paths.h"

#if VELA_SHA_X86

#include <immintrin.h>

#include <utility>

#include "crypto/sha2_constants.h"

#define VELA_TARGET_SHA __attribute__((target("sha,sse4.1,ssse3")))
#define VELA_TARGET_SHA_INLINE __attribute__((target("sha,sse4.1,ssse3"), always_inline)) inline

namespace vela {
namespace {

// The four message words of the group of rounds I: the block's own words
// for the first four groups, else what the schedule has made of them.
template <int I>
VELA_TARGET_SHA_INLINE __m128i& MessageWords(__m128i (&m)[4], const std::uint8_t* p, __m128i byteOrder) {
  if constexpr (I < 4) {
    m[I] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * I)), byteOrder);
  }
  return m[I % 4];
}

// SHA-1: four rounds per instruction. The message words of rounds 4i to
// 4i+3 sit in m[i % 4]; the two E registers take turns.
struct Sha1Lanes {
  __m128i abcd;
  __m128i e[2];
  __m128i m[4];
};

template <int I>
VELA_TARGET_SHA_INLINE void Sha1FourRounds(Sha1Lanes& s, const std::uint8_t* p, __m128i byteOrder) {
  __m128i& current = MessageWords<I>(s.m, p, byteOrder);
  if constexpr (I == 0) {
    s.e[0] = _mm_add_epi32(s.e[0], current);
  } else {
    s.e[I % 2] = _mm_sha1nexte_epu32(s.e[I % 2], current);
  }
  s.e[(I + 1) % 2] = s.abcd;
  // The schedule works ahead: msg1 starts the words of the group three on,
  // the XOR adds to those of the group two on, msg2 finishes the next one's.
  if constexpr (I >= 3 && I <= 18) s.m[(I + 1) % 4] = _mm_sha1msg2_epu32(s.m[(I + 1) % 4], current);
  s.abcd = _mm_sha1rnds4_epu32(s.abcd, s.e[I % 2], I / 5);
  if constexpr (I >= 1 && I <= 16) s.m[(I + 3) % 4] = _mm_sha1msg1_epu32(s.m[(I + 3) % 4], current);
  if constexpr (I >= 2 && I <= 17) s.m[(I + 2) % 4] = _mm_xor_si128(s.m[(I + 2) % 4], current);
}

template <int... I>
VELA_TARGET_SHA_INLINE void Sha1Block(Sha1Lanes& s, const std::uint8_t* p, __m128i byteOrder,
                                      std::integer_sequence<int, I...>) {
  (Sha1FourRounds<I>(s, p, byteOrder), ...);
}

// SHA-256: two rounds per instruction, the state as ABEF and CDGH.
struct Sha256Lanes {
  __m128i abef;
  __m128i cdgh;
  __m128i m[4];
};

template <int I>
VELA_TARGET_SHA_INLINE void Sha256FourRounds(Sha256Lanes& s, const std::uint8_t* p, __m128i byteOrder) {
  __m128i& current = MessageWords<I>(s.m, p, byteOrder);
  __m128i wk = _mm_add_epi32(
      current, _mm_loadu_si128(reinterpret_cast<const __m128i*>(sha2_core::kSha256RoundConstants + 4 * I)));
  s.cdgh = _mm_sha256rnds2_epu32(s.cdgh, s.abef, wk);
  // The schedule works ahead: msg1 starts the words of the group three on;
  // W[t-7] and msg2 finish the next one's.
  if constexpr (I >= 3 && I <= 14) {
    __m128i& next = s.m[(I + 1) % 4];
    next = _mm_add_epi32(next, _mm_alignr_epi8(current, s.m[(I + 3) % 4], 4));
    next = _mm_sha256msg2_epu32(next, current);
  }
  wk = _mm_shuffle_epi32(wk, 0x0E);
  s.abef = _mm_sha256rnds2_epu32(s.abef, s.cdgh, wk);
  if constexpr (I >= 1 && I <= 12) s.m[(I + 3) % 4] = _mm_sha256msg1_epu32(s.m[(I + 3) % 4], current);
}

template <int... I>
VELA_TARGET_SHA_INLINE void Sha256Block(Sha256Lanes& s, const std::uint8_t* p, __m128i byteOrder,
                                        std::integer_sequence<int, I...>) {
  (Sha256FourRounds<I>(s, p, byteOrder), ...);
}

}  // namespace

VELA_TARGET_SHA void Sha1CompressShaExtensions(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks) {
  const __m128i byteOrder = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  Sha1Lanes s;
  s.abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  s.e[0] = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abcdBefore = s.abcd;
    const __m128i eBefore = s.e[0];
    Sha1Block(s, data, byteOrder, std::make_integer_sequence<int, 20>());
    s.e[0] = _mm_sha1nexte_epu32(s.e[0], eBefore);
    s.abcd = _mm_add_epi32(s.abcd, abcdBefore);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(s.abcd, 0x1B));
  state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(s.e[0], 3));
}

VELA_TARGET_SHA void Sha256CompressShaExtensions(std::uint32_t state[8], const std::uint8_t* data,
                                                 std::size_t blocks) {
  const __m128i byteOrder = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  Sha256Lanes s;
  const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  s.abef = _mm_alignr_epi8(cdab, efgh, 8);
  s.cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abefBefore = s.abef;
    const __m128i cdghBefore = s.cdgh;
    Sha256Block(s, data, byteOrder, std::make_integer_sequence<int, 16>());
    s.abef = _mm_add_epi32(s.abef, abefBefore);
    s.cdgh = _mm_add_epi32(s.cdgh, cdghBefore);
  }
  const __m128i feba = _mm_shuffle_epi32(s.abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(s.cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace vela

#endif  // VELA_SHA_X86
