// The hash context shared by SHA-1, SHA-224/256 and SHA-384/512, and the
// result codes of the SHA family. A context is a plain struct: no allocation,
// input and result are pure functions of it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vela {

// Result codes of the SHA family and its HMAC.
inline constexpr int kShaSuccess = 0;
inline constexpr int kShaNull = 1;         // null pointer; also a bit-counter overflow
inline constexpr int kShaInputTooLong = 1;
inline constexpr int kShaStateError = 3;   // input after the result was taken
inline constexpr int kShaBadParam = 4;     // algorithm id outside 0 to 4

template <class Word, std::size_t StateWords, std::size_t BlockBytes>
struct ShaContext {
  using WordType = Word;
  static constexpr std::size_t kStateWords = StateWords;
  static constexpr std::size_t kBlockBytes = BlockBytes;

  Word intermediateHash[StateWords];
  Word lengthLow;   // message length in bits, low word
  Word lengthHigh;  // and high word
  std::uint16_t blockIndex;
  std::uint8_t block[BlockBytes];
  bool computed;
  int corrupted;  // remembered non-zero result code
};

}  // namespace vela
