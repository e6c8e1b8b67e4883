#include "crypto/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace vela {
namespace {

constexpr bool Bit(std::uint64_t word, int bit) { return (word >> bit & 1) != 0; }

}  // namespace

CpuFeatures DecodeCpuFeatures(const CpuidWords& words) {
  CpuFeatures features;
  features.ssse3 = Bit(words.leaf1Ecx, 9);
  features.sse41 = Bit(words.leaf1Ecx, 19);
  // A processor answers a leaf above its highest with whatever it likes, so
  // leaf 7 counts only when it exists.
  const std::uint32_t leaf7 = words.maxLeaf >= 7 ? words.leaf7Ebx : 0;
  features.bmi1 = Bit(leaf7, 3);
  features.bmi2 = Bit(leaf7, 8);
  features.sha = Bit(leaf7, 29);
  // AVX2 code needs the operating system to save the XMM and YMM state on
  // every switch (XCR0 bits 1 and 2); without OSXSAVE, XCR0 cannot be read.
  const bool osxsave = Bit(words.leaf1Ecx, 27);
  const bool avx = Bit(words.leaf1Ecx, 28);
  const bool ymmSaved = osxsave && (words.xcr0 & 0x6) == 0x6;
  features.avx2 = avx && ymmSaved && Bit(leaf7, 5);
  return features;
}

CpuidWords ReadCpuidWords() {
  CpuidWords words;
#if defined(__x86_64__) || defined(__i386__)
  unsigned int a = 0, b = 0, c = 0, d = 0;
  words.maxLeaf = __get_cpuid_max(0, nullptr);
  if (words.maxLeaf >= 1 && __get_cpuid(1, &a, &b, &c, &d)) words.leaf1Ecx = c;
  if (words.maxLeaf >= 7 && __get_cpuid_count(7, 0, &a, &b, &c, &d)) words.leaf7Ebx = b;
  if (words.leaf1Ecx >> 27 & 1) {
    unsigned int low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    words.xcr0 = std::uint64_t{high} << 32 | low;
  }
#endif
  return words;
}

}  // namespace vela
