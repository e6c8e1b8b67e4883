// The SHA-2 compression function, once for both word sizes: SHA-224/256 use
// 32-bit words and 64 rounds, SHA-384/512 64-bit words and 80 rounds.
// Internal to crypto/.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace vela::sha2_core {

// Traits: Word, kRounds, kK[kRounds], Load(p), and the rotation amounts of
// the four sigma functions.
template <class Traits>
struct Sigma {
  using Word = typename Traits::Word;
  static Word Big0(Word x) { return std::rotr(x, Traits::kB0[0]) ^ std::rotr(x, Traits::kB0[1]) ^ std::rotr(x, Traits::kB0[2]); }
  static Word Big1(Word x) { return std::rotr(x, Traits::kB1[0]) ^ std::rotr(x, Traits::kB1[1]) ^ std::rotr(x, Traits::kB1[2]); }
  static Word Small0(Word x) { return std::rotr(x, Traits::kS0[0]) ^ std::rotr(x, Traits::kS0[1]) ^ (x >> Traits::kS0[2]); }
  static Word Small1(Word x) { return std::rotr(x, Traits::kS1[0]) ^ std::rotr(x, Traits::kS1[1]) ^ (x >> Traits::kS1[2]); }
};

// One round; the caller rotates the roles of the eight variables instead of
// moving values between them. Maj is b ^ ((a ^ b) & (b ^ c)), and this
// round's a ^ b is the next round's b ^ c, which saves an operation.
#define VELA_SHA2_ROUND(a, b, c, d, e, f, g, h, j)                                  \
  {                                                                                 \
    const Word t1 = h + S::Big1(e) + (g ^ (e & (f ^ g))) + Traits::kK[i + j] + W(j); \
    const Word ab = a ^ b;                                                          \
    const Word t2 = S::Big0(a) + (b ^ (ab & bc));                                   \
    bc = ab;                                                                        \
    d += t1;                                                                        \
    h = t1 + t2;                                                                    \
  }

#define VELA_SHA2_SIXTEEN_ROUNDS              \
  VELA_SHA2_ROUND(a, b, c, d, e, f, g, h, 0)  \
  VELA_SHA2_ROUND(h, a, b, c, d, e, f, g, 1)  \
  VELA_SHA2_ROUND(g, h, a, b, c, d, e, f, 2)  \
  VELA_SHA2_ROUND(f, g, h, a, b, c, d, e, 3)  \
  VELA_SHA2_ROUND(e, f, g, h, a, b, c, d, 4)  \
  VELA_SHA2_ROUND(d, e, f, g, h, a, b, c, 5)  \
  VELA_SHA2_ROUND(c, d, e, f, g, h, a, b, 6)  \
  VELA_SHA2_ROUND(b, c, d, e, f, g, h, a, 7)  \
  VELA_SHA2_ROUND(a, b, c, d, e, f, g, h, 8)  \
  VELA_SHA2_ROUND(h, a, b, c, d, e, f, g, 9)  \
  VELA_SHA2_ROUND(g, h, a, b, c, d, e, f, 10) \
  VELA_SHA2_ROUND(f, g, h, a, b, c, d, e, 11) \
  VELA_SHA2_ROUND(e, f, g, h, a, b, c, d, 12) \
  VELA_SHA2_ROUND(d, e, f, g, h, a, b, c, 13) \
  VELA_SHA2_ROUND(c, d, e, f, g, h, a, b, 14) \
  VELA_SHA2_ROUND(b, c, d, e, f, g, h, a, 15)

template <class Traits>
void Compress(typename Traits::Word* state, const std::uint8_t* p, std::size_t blocks) {
  using Word = typename Traits::Word;
  using S = Sigma<Traits>;
  constexpr std::size_t kWordBytes = sizeof(Word);
  for (; blocks > 0; --blocks, p += 16 * kWordBytes) {
    Word w[16];
    Word a = state[0], b = state[1], c = state[2], d = state[3];
    Word e = state[4], f = state[5], g = state[6], h = state[7];
    Word bc = b ^ c;
    {
      constexpr int i = 0;
      // The first sixteen rounds take the message words as they are.
      auto W = [&](int j) -> Word { return w[j] = Traits::Load(p + j * kWordBytes); };
      VELA_SHA2_SIXTEEN_ROUNDS
    }
    for (int i = 16; i < Traits::kRounds; i += 16) {
      auto W = [&](int j) -> Word {
        return w[j] += S::Small1(w[(j + 14) & 15]) + w[(j + 9) & 15] + S::Small0(w[(j + 1) & 15]);
      };
      VELA_SHA2_SIXTEEN_ROUNDS
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#undef VELA_SHA2_SIXTEEN_ROUNDS
#undef VELA_SHA2_ROUND

}  // namespace vela::sha2_core
