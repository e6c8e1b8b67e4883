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

// The two instructions the words are read with: this processor's, or a
// test's stand-in that answers for another processor.
struct CpuidInstructions {
  // EAX, EBX, ECX, EDX of `leaf` (and `subleaf`); false where there is no
  // CPUID or the leaf is beyond the processor's highest.
  bool (*cpuid)(std::uint32_t leaf, std::uint32_t subleaf, std::uint32_t registers[4]);
  // XCR `index`: to be called only when the operating system has enabled it
  // (OSXSAVE), else the processor raises an invalid-opcode fault.
  std::uint64_t (*xgetbv)(std::uint32_t index);
};

extern const CpuidInstructions kThisProcessor;

// The words a processor answers; all zero where there is no CPUID.
CpuidWords ReadCpuidWords(const CpuidInstructions& instructions = kThisProcessor);

}  // namespace vela
