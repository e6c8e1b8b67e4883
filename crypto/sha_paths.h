// Which code compresses the SHA blocks. Every processor runs the portable
// code; on x86-64 the SHA extensions take SHA-1 and SHA-256 and AVX2 takes
// SHA-384/512 when the processor has them. The choice is made once, on the
// first use, from CPUID; every path gives the same bytes. Internal to crypto/
// (and to the tests and the benchmark, which force a path).
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/cpu_features.h"

// Only the x86-64 build carries the accelerated code. The 32-bit build keeps
// the portable code alone: its callers may hand over a stack aligned to four
// bytes only, and 32-bit code cannot be run and tested on the build machines.
#if defined(__x86_64__)
#define VELA_SHA_X86 1
#else
#define VELA_SHA_X86 0
#endif

namespace vela {

enum class ShaPath : std::uint8_t { kPortable, kShaExtensions, kAvx2 };

struct ShaPaths {
  ShaPath sha1 = ShaPath::kPortable;
  ShaPath sha256 = ShaPath::kPortable;  // SHA-224 too
  ShaPath sha512 = ShaPath::kPortable;  // SHA-384 too
  bool operator==(const ShaPaths&) const = default;
};

const char* ShaPathName(ShaPath path);

// The fastest paths of this build that a processor with `features` runs.
ShaPaths ChooseShaPaths(const CpuFeatures& features);
// What the first use chooses on a processor whose CPUID and XGETBV answer as
// `instructions` do.
ShaPaths DetectShaPaths(const CpuidInstructions& instructions);
// The paths in use (chosen from this processor on the first use).
ShaPaths ActiveShaPaths();
// Tests and benchmarks: use `paths` from now on. False, and nothing changes,
// when this build or this processor lacks one of them.
bool ForceShaPaths(const ShaPaths& paths);
// Back to the paths chosen from this processor.
void UseDetectedShaPaths();

// The compression functions behind the paths, over `blocks` whole blocks.
void Sha1CompressPortable(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks);
void Sha256CompressPortable(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks);
void Sha512CompressPortable(std::uint64_t state[8], const std::uint8_t* data, std::size_t blocks);
#if VELA_SHA_X86
void Sha1CompressShaExtensions(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks);
void Sha256CompressShaExtensions(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks);
void Sha512CompressAvx2(std::uint64_t state[8], const std::uint8_t* data, std::size_t blocks);
#endif

}  // namespace vela
