#include "crypto/sha_paths.h"

#include <atomic>

#include "crypto/sha1.h"
#include "crypto/sha256.h"
#include "crypto/sha512.h"

namespace vela {
namespace {

using Compress32 = void (*)(std::uint32_t*, const std::uint8_t*, std::size_t);
using Compress64 = void (*)(std::uint64_t*, const std::uint8_t*, std::size_t);

void Sha1FirstUse(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks);
void Sha256FirstUse(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks);
void Sha512FirstUse(std::uint64_t* state, const std::uint8_t* data, std::size_t blocks);

// Each starts at a function that makes the choice and then runs the chosen
// one. Threads that meet on the first use choose the same and store the same,
// so plain atomic pointers are all the guarding this needs.
std::atomic<Compress32> gSha1{Sha1FirstUse};
std::atomic<Compress32> gSha256{Sha256FirstUse};
std::atomic<Compress64> gSha512{Sha512FirstUse};

bool Runs(ShaPath path, const CpuFeatures& features) {
  switch (path) {
    case ShaPath::kPortable: return true;
    case ShaPath::kShaExtensions: return VELA_SHA_X86 && features.sha && features.ssse3 && features.sse41;
    case ShaPath::kAvx2: return VELA_SHA_X86 && features.avx2 && features.bmi1 && features.bmi2;
  }
  return false;
}

// The accelerated functions of this build; null where it has none.
#if VELA_SHA_X86
constexpr Compress32 kSha1ShaExtensions = Sha1CompressShaExtensions;
constexpr Compress32 kSha256ShaExtensions = Sha256CompressShaExtensions;
constexpr Compress64 kSha512Avx2 = Sha512CompressAvx2;
#else
constexpr Compress32 kSha1ShaExtensions = nullptr;
constexpr Compress32 kSha256ShaExtensions = nullptr;
constexpr Compress64 kSha512Avx2 = nullptr;
#endif

// The function of a path for SHA-1 or SHA-256; null for AVX2, which is no
// path for them.
Compress32 Function32(ShaPath path, Compress32 portable, Compress32 shaExtensions) {
  if (path == ShaPath::kPortable) return portable;
  return path == ShaPath::kShaExtensions ? shaExtensions : nullptr;
}

Compress64 Function512(ShaPath path) {
  if (path == ShaPath::kPortable) return Sha512CompressPortable;
  return path == ShaPath::kAvx2 ? kSha512Avx2 : nullptr;
}

bool Install(const ShaPaths& paths, const CpuFeatures& features) {
  const Compress32 sha1 = Function32(paths.sha1, Sha1CompressPortable, kSha1ShaExtensions);
  const Compress32 sha256 = Function32(paths.sha256, Sha256CompressPortable, kSha256ShaExtensions);
  const Compress64 sha512 = Function512(paths.sha512);
  if (sha1 == nullptr || sha256 == nullptr || sha512 == nullptr) return false;
  if (!Runs(paths.sha1, features) || !Runs(paths.sha256, features) || !Runs(paths.sha512, features)) return false;
  gSha1.store(sha1, std::memory_order_relaxed);
  gSha256.store(sha256, std::memory_order_relaxed);
  gSha512.store(sha512, std::memory_order_relaxed);
  return true;
}

CpuFeatures ThisProcessor() { return DecodeCpuFeatures(ReadCpuidWords(kThisProcessor)); }

void InstallDetected() {
  const CpuFeatures features = ThisProcessor();
  Install(ChooseShaPaths(features), features);
}

void Sha1FirstUse(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) {
  InstallDetected();
  gSha1.load(std::memory_order_relaxed)(state, data, blocks);
}

void Sha256FirstUse(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) {
  InstallDetected();
  gSha256.load(std::memory_order_relaxed)(state, data, blocks);
}

void Sha512FirstUse(std::uint64_t* state, const std::uint8_t* data, std::size_t blocks) {
  InstallDetected();
  gSha512.load(std::memory_order_relaxed)(state, data, blocks);
}

}  // namespace

const char* ShaPathName(ShaPath path) {
  switch (path) {
    case ShaPath::kPortable: return "portable";
    case ShaPath::kShaExtensions: return "SHA extensions";
    case ShaPath::kAvx2: return "AVX2";
  }
  return "?";
}

ShaPaths ChooseShaPaths(const CpuFeatures& features) {
  ShaPaths paths;
  if (Runs(ShaPath::kShaExtensions, features)) {
    paths.sha1 = ShaPath::kShaExtensions;
    paths.sha256 = ShaPath::kShaExtensions;
  }
  if (Runs(ShaPath::kAvx2, features)) paths.sha512 = ShaPath::kAvx2;
  return paths;
}

ShaPaths DetectShaPaths(const CpuidInstructions& instructions) {
  return ChooseShaPaths(DecodeCpuFeatures(ReadCpuidWords(instructions)));
}

ShaPaths ActiveShaPaths() {
  const bool chosen = gSha1.load(std::memory_order_relaxed) != Sha1FirstUse &&
                      gSha256.load(std::memory_order_relaxed) != Sha256FirstUse &&
                      gSha512.load(std::memory_order_relaxed) != Sha512FirstUse;
  if (!chosen) InstallDetected();
  ShaPaths paths;
  if (gSha1.load(std::memory_order_relaxed) != Sha1CompressPortable) paths.sha1 = ShaPath::kShaExtensions;
  if (gSha256.load(std::memory_order_relaxed) != Sha256CompressPortable) paths.sha256 = ShaPath::kShaExtensions;
  if (gSha512.load(std::memory_order_relaxed) != Sha512CompressPortable) paths.sha512 = ShaPath::kAvx2;
  return paths;
}

bool ForceShaPaths(const ShaPaths& paths) { return Install(paths, ThisProcessor()); }

void UseDetectedShaPaths() { InstallDetected(); }

void Sha1Compress(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks) {
  gSha1.load(std::memory_order_relaxed)(state, data, blocks);
}

void Sha256Compress(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks) {
  gSha256.load(std::memory_order_relaxed)(state, data, blocks);
}

void Sha512Compress(std::uint64_t state[8], const std::uint8_t* data, std::size_t blocks) {
  gSha512.load(std::memory_order_relaxed)(state, data, blocks);
}

}  // namespace vela
