// The choice of SHA path from CPUID, each accelerated compression beside the
// portable one on the same blocks, and what the vector code leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <iterator>
#include <random>
#include <span>
#include <vector>

#include "crypto/cpu_features.h"
#include "crypto/hmac.h"
#include "crypto/sha1.h"
#include "crypto/sha256.h"
#include "crypto/sha2_constants.h"
#include "crypto/sha512.h"
#include "crypto/sha_paths.h"
#include "openssl_reference.h"
#include "own_stack.h"
#include "sha_paths_fixture.h"

namespace vela::test {
namespace {

// CPUID.1:ECX bits.
constexpr std::uint32_t kSsse3 = 1u << 9, kSse41 = 1u << 19, kOsxsave = 1u << 27, kAvx = 1u << 28;
// CPUID.7.0:EBX bits.
constexpr std::uint32_t kBmi1 = 1u << 3, kAvx2 = 1u << 5, kBmi2 = 1u << 8, kSha = 1u << 29;
// XCR0: the operating system saves the XMM (bit 1) and YMM (bit 2) state.
constexpr std::uint64_t kXmmYmm = 0x7, kXmmOnly = 0x3;

constexpr std::uint32_t kAllLeaf1 = kSsse3 | kSse41 | kOsxsave | kAvx;
constexpr std::uint32_t kAllLeaf7 = kBmi1 | kAvx2 | kBmi2 | kSha;

constexpr ShaPath P = ShaPath::kPortable;
constexpr ShaPath X = VELA_SHA_X86 ? ShaPath::kShaExtensions : ShaPath::kPortable;
constexpr ShaPath V = VELA_SHA_X86 ? ShaPath::kAvx2 : ShaPath::kPortable;

// A processor that answers from a row of the table below: CPUID from its
// words (every leaf, as a real one answers leaves above its highest too),
// XGETBV with its XCR0, counting the XGETBV calls.
const CpuidWords* gAnswers = nullptr;
bool gHasCpuid = true;
int gXgetbvCalls = 0;

bool AnsweringCpuid(std::uint32_t leaf, std::uint32_t, std::uint32_t registers[4]) {
  if (!gHasCpuid) return false;
  registers[0] = leaf == 0 ? gAnswers->maxLeaf : 0;
  registers[1] = leaf == 7 ? gAnswers->leaf7Ebx : 0;
  registers[2] = leaf == 1 ? gAnswers->leaf1Ecx : 0;
  registers[3] = 0;
  return true;
}

std::uint64_t CountingXgetbv(std::uint32_t index) {
  ++gXgetbvCalls;
  return index == 0 ? gAnswers->xcr0 : 0;
}

// Each row as a processor answers it, from CPUID to the chosen paths, and as
// words already read. Where the operating system has not enabled XGETBV
// (OSXSAVE clear) it is an invalid opcode: it must never run there, whatever
// the other bits say, and XCR0 is then not to be believed.
TEST(CryptoShaPaths, EachPathNeedsAllItsFeaturesElseThePortableCode) {
  struct Case {
    const char* what;
    CpuidWords words;
    ShaPaths expected;
    int xgetbvCalls;
    bool hasCpuid = true;
  };
  const Case cases[] = {
      {"everything", {13, kAllLeaf1, kAllLeaf7, kXmmYmm}, {X, X, V}, 1},
      {"no SHA extensions", {13, kAllLeaf1, kAllLeaf7 & ~kSha, kXmmYmm}, {P, P, V}, 1},
      {"no SSE4.1", {13, kAllLeaf1 & ~kSse41, kAllLeaf7, kXmmYmm}, {P, P, V}, 1},
      {"no SSSE3", {13, kAllLeaf1 & ~kSsse3, kAllLeaf7, kXmmYmm}, {P, P, V}, 1},
      {"no AVX2", {13, kAllLeaf1, kAllLeaf7 & ~kAvx2, kXmmYmm}, {X, X, P}, 1},
      {"no AVX", {13, kAllLeaf1 & ~kAvx, kAllLeaf7, kXmmYmm}, {X, X, P}, 1},
      {"no BMI2", {13, kAllLeaf1, kAllLeaf7 & ~kBmi2, kXmmYmm}, {X, X, P}, 1},
      {"no BMI1", {13, kAllLeaf1, kAllLeaf7 & ~kBmi1, kXmmYmm}, {X, X, P}, 1},
      // AVX2 in CPUID but an operating system that does not save the YMM
      // registers: AVX2 code would lose them on a task switch.
      {"YMM state not saved", {13, kAllLeaf1, kAllLeaf7, kXmmOnly}, {X, X, P}, 1},
      {"AVX but no OSXSAVE", {13, kAllLeaf1 & ~kOsxsave, kAllLeaf7, kXmmYmm}, {X, X, P}, 0},
      {"neither OSXSAVE nor AVX", {13, kAllLeaf1 & ~(kOsxsave | kAvx), kAllLeaf7, kXmmYmm}, {X, X, P}, 0},
      // A processor whose highest leaf is below 7 may answer leaf 7 with
      // another leaf's words.
      {"no leaf 7", {6, kAllLeaf1, kAllLeaf7, kXmmYmm}, {P, P, P}, 1},
      {"nothing", {}, {P, P, P}, 0},
      {"no CPUID", {13, kAllLeaf1, kAllLeaf7, kXmmYmm}, {P, P, P}, 0, false},
  };
  const CpuidInstructions answering = {AnsweringCpuid, CountingXgetbv};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    gAnswers = &c.words;
    gHasCpuid = c.hasCpuid;
    gXgetbvCalls = 0;
    const ShaPaths detected = DetectShaPaths(answering);
    EXPECT_EQ(gXgetbvCalls, c.xgetbvCalls) << "XGETBV calls";
    EXPECT_EQ(detected, c.expected) << "SHA-1 " << ShaPathName(detected.sha1) << ", SHA-256 "
                                    << ShaPathName(detected.sha256) << ", SHA-512 " << ShaPathName(detected.sha512);
    if (c.hasCpuid) {
      EXPECT_EQ(ChooseShaPaths(DecodeCpuFeatures(c.words)), c.expected) << "from the words";
    }
  }
  gAnswers = nullptr;
}

TEST(CryptoShaPaths, ForcingAPathThatDoesNotFitChangesNothing) {
  UseDetectedShaPaths();
  const ShaPaths detected = ActiveShaPaths();
  EXPECT_EQ(detected, ChooseShaPaths(DecodeCpuFeatures(ReadCpuidWords())));
  // AVX2 is no path for SHA-1, nor the SHA extensions for SHA-512.
  EXPECT_FALSE(ForceShaPaths({ShaPath::kAvx2, P, P}));
  EXPECT_FALSE(ForceShaPaths({P, P, ShaPath::kShaExtensions}));
  EXPECT_EQ(ActiveShaPaths(), detected);
  ASSERT_TRUE(ForceShaPaths({}));
  EXPECT_EQ(ActiveShaPaths(), ShaPaths{});
  UseDetectedShaPaths();
  EXPECT_EQ(ActiveShaPaths(), detected);
}

class CryptoShaCompressOnPath : public OnEveryShaPath {};
// The accelerated paths only: the first is the portable code itself.
INSTANTIATE_TEST_SUITE_P(ShaPaths, CryptoShaCompressOnPath,
                         ::testing::ValuesIn(std::begin(kEveryShaPath) + 1, std::end(kEveryShaPath)), ShaPathsName);

// The compression on the forced path and the portable one, from the same
// chaining value over the same blocks.
template <class Word, std::size_t kWords>
bool SameAsPortable(void (*compress)(Word*, const std::uint8_t*, std::size_t),
                    void (*portable)(Word*, const std::uint8_t*, std::size_t), const std::uint64_t (&start)[8],
                    const std::uint8_t* data, std::size_t blocks) {
  Word state[kWords], expected[kWords];
  for (std::size_t i = 0; i < kWords; ++i) state[i] = expected[i] = static_cast<Word>(start[i]);
  compress(state, data, blocks);
  portable(expected, data, blocks);
  return std::equal(state, state + kWords, expected);
}

// Blocks at every alignment, several per call, from an arbitrary chaining
// value: the accelerated code keeps the state in registers between blocks
// and loads the message unaligned.
TEST_P(CryptoShaCompressOnPath, SameChainingValueAsThePortableCode) {
  std::mt19937_64 random(180);
  std::vector<std::uint8_t> buffer(40 * 128 + 64);
  for (auto& b : buffer) b = static_cast<std::uint8_t>(random());
  std::uint64_t start[8];
  for (auto& w : start) w = random();

  for (const std::size_t offset : {0u, 1u, 7u, 16u, 33u}) {
    for (const std::size_t blocks : {1u, 2u, 3u, 40u}) {
      const std::uint8_t* data = buffer.data() + offset;
      EXPECT_TRUE((SameAsPortable<std::uint32_t, 5>(Sha1Compress, Sha1CompressPortable, start, data, blocks)))
          << "SHA-1 offset " << offset << " blocks " << blocks;
      EXPECT_TRUE((SameAsPortable<std::uint32_t, 8>(Sha256Compress, Sha256CompressPortable, start, data, blocks)))
          << "SHA-256 offset " << offset << " blocks " << blocks;
      EXPECT_TRUE((SameAsPortable<std::uint64_t, 8>(Sha512Compress, Sha512CompressPortable, start, data, blocks)))
          << "SHA-512 offset " << offset << " blocks " << blocks;
    }
  }
}

// The words a SHA-512 compression of `block` computes: the message schedule
// W[0..79] and W[t] + K[t] of each round. Only words that look random count
// (a padding block's zeros and its length are everywhere on a stack).
void AddScheduleWords(std::span<const std::uint8_t> block, std::vector<std::uint64_t>* words) {
  std::uint64_t w[80];
  for (int t = 0; t < 16; ++t) {
    w[t] = 0;
    for (int i = 0; i < 8; ++i) w[t] = w[t] << 8 | block[8 * t + i];
  }
  for (int t = 16; t < 80; ++t) {
    const std::uint64_t s0 = std::rotr(w[t - 15], 1) ^ std::rotr(w[t - 15], 8) ^ (w[t - 15] >> 7);
    const std::uint64_t s1 = std::rotr(w[t - 2], 19) ^ std::rotr(w[t - 2], 61) ^ (w[t - 2] >> 6);
    w[t] = s1 + w[t - 7] + s0 + w[t - 16];
  }
  for (int t = 0; t < 80; ++t) {
    for (const std::uint64_t word : {w[t], w[t] + sha2_core::kSha512RoundConstants[t]}) {
      if (std::popcount(word) >= 16 && std::popcount(word) <= 48) words->push_back(word);
    }
  }
}

// `head`, then the SHA-512 padding of a message that `before` bytes precede.
Bytes LastBlock(const Bytes& head, std::size_t before) {
  Bytes block = head;
  block.push_back(0x80);
  block.resize(128 - 8, 0);
  const std::uint64_t bits = (before + head.size()) * 8;
  for (int i = 7; i >= 0; --i) block.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  return block;
}

// The vector SHA-512 code keeps the schedule of a block on its stack, and in
// HMAC the first blocks are the key pads: after an HMAC-SHA-512 on that path
// none of the schedule words of its four blocks is left there.
TEST(CryptoShaPaths, Avx2Sha512LeavesNoScheduleOnItsStack) {
  if (!ForceShaPaths({P, P, ShaPath::kAvx2})) {
    GTEST_SKIP() << "this build or processor has no AVX2 path for SHA-512";
  }
  // A key of a whole block: every word of the pads comes from it.
  Bytes key(128), message = {'s', 'c', 'h', 'e', 'd', 'u', 'l', 'e'};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 37 + 11);
  Bytes mac(64);
  int rc = 1;
  OwnStack stack([&] { rc = Hmac(kSha512, message.data(), message.size(), key.data(), key.size(), mac.data()); });
  UseDetectedShaPaths();
  ASSERT_TRUE(stack.started());
  ASSERT_EQ(rc, 0);

  // The words are worked out only now: a new thread starts with its
  // creator's vector registers, and OpenSSL's own SHA-512 would leave this
  // schedule in them, for the thread's first steps to store on its stack.
  ASSERT_EQ(mac, ReferenceHmac("SHA512", key, message));
  // Inner: the key XOR ipad, then the message; outer: the key XOR opad,
  // then the inner digest.
  Bytes innerPad(128, 0x36), outerPad(128, 0x5C);
  for (std::size_t i = 0; i < key.size(); ++i) {
    innerPad[i] ^= key[i];
    outerPad[i] ^= key[i];
  }
  Bytes innerInput = innerPad;
  innerInput.insert(innerInput.end(), message.begin(), message.end());
  std::vector<std::uint64_t> words;
  for (const Bytes& block : {innerPad, LastBlock(message, 128), outerPad,
                             LastBlock(ReferenceDigest("SHA512", innerInput), 128)}) {
    AddScheduleWords(block, &words);
  }
  EXPECT_EQ(stack.CountWords(words), 0u) << "schedule words left on the stack";
}

}  // namespace
}  // namespace vela::test
