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

namespace {

// The architecture's instructions; elsewhere, a processor without CPUID.
#if defined(__x86_64__) || defined(__i386__)
bool ProcessorCpuid(std::uint32_t leaf, std::uint32_t subleaf, std::uint32_t registers[4]) {
  unsigned int a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_count(leaf, subleaf, &a, &b, &c, &d) == 0) return false;
  registers[0] = a;
  registers[1] = b;
  registers[2] = c;
  registers[3] = d;
  return true;
}

std::uint64_t ProcessorXgetbv(std::uint32_t index) {
  unsigned int low = 0, high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(index));
  return std::uint64_t{high} << 32 | low;
}
#else
bool ProcessorCpuid(std::uint32_t, std::uint32_t, std::uint32_t*) { return false; }
std::uint64_t ProcessorXgetbv(std::uint32_t) { return 0; }
#endif

}  // namespace

const CpuidInstructions kThisProcessor = {ProcessorCpuid, ProcessorXgetbv};

CpuidWords ReadCpuidWords(const CpuidInstructions& instructions) {
  CpuidWords words;
  std::uint32_t r[4] = {};
  if (!instructions.cpuid(0, 0, r)) return words;
  words.maxLeaf = r[0];
  if (words.maxLeaf >= 1 && instructions.cpuid(1, 0, r)) words.leaf1Ecx = r[2];
  if (words.maxLeaf >= 7 && instructions.cpuid(7, 0, r)) words.leaf7Ebx = r[1];
  // XGETBV is an invalid opcode until the operating system sets CR4.OSXSAVE,
  // which leaf 1 reports in bit 27 (bit 28, AVX, says nothing about it).
  if (Bit(words.leaf1Ecx, 27)) words.xcr0 = instructions.xgetbv(0);
  return words;
}

}  // namespace vela
