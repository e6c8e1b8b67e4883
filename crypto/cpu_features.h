// What the processor and the operating system offer the digest code, read
// once from CPUID (and XGETBV for the operating system's saving of the
// 256-bit registers). Internal to crypto/.
#pragma once

#include <cstdint>

namespace vela {

struct CpuFeatures {
  bool ssse3 = false;
  bool sse41 = false;
  bool sha = false;   // the SHA extensions (SHA-1 and SHA-256 instructions)
  bool avx2 = false;  // only when the operating system saves the 256-bit registers
  bool bmi1 = false;
  bool bmi2 = false;
};

// The CPUID words the features are decoded from. `leaf7Ebx` counts only when
// `maxLeaf` reaches 7; `xcr0` only when leaf 1 reports OSXSAVE.
struct CpuidWords {
  std::uint32_t maxLeaf = 0;
  std::uint32_t leaf1Ecx = 0;
  std::uint32_t leaf7Ebx = 0;
  std::uint64_t xcr0 = 0;
};

CpuFeatures DecodeCpuFeatures(const CpuidWords& words);

// This processor's words; all zero where the architecture has no CPUID.
CpuidWords ReadCpuidWords();

}  // namespace vela
