// Buffering, length counting, padding and output common to the SHA family;
// each algorithm supplies only its initial value and compression function.
// Internal to crypto/.
#pragma once

#include <algorithm>
#include <cstring>
#include <iterator>

#include "core/secure_wipe.h"
#include "crypto/sha_context.h"

namespace vela::sha_engine {

inline std::uint32_t LoadBigEndian32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | std::uint32_t{p[3]};
}

inline std::uint64_t LoadBigEndian64(const std::uint8_t* p) {
  return std::uint64_t{LoadBigEndian32(p)} << 32 | LoadBigEndian32(p + 4);
}

template <class Word>
void StoreBigEndian(Word value, std::uint8_t* out) {
  for (std::size_t i = 0; i < sizeof(Word); ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * (sizeof(Word) - 1 - i)));
  }
}

template <class Context>
void Start(Context* context, const typename Context::WordType (&initial)[Context::kStateWords]) {
  std::copy(std::begin(initial), std::end(initial), context->intermediateHash);
  context->lengthLow = 0;
  context->lengthHigh = 0;
  context->blockIndex = 0;
  std::fill(std::begin(context->block), std::end(context->block), std::uint8_t{0});
  context->computed = false;
  context->corrupted = kShaSuccess;
}

// Adds `bytes` * 8 to the two-word bit counter; false when it would overflow.
template <class Context>
bool AddLength(Context* context, std::size_t bytes) {
  using Word = typename Context::WordType;
  const std::uint64_t count = bytes;
  if constexpr (sizeof(Word) == 4) {
    if (count > (UINT64_MAX >> 3)) return false;
    const std::uint64_t before = std::uint64_t{context->lengthHigh} << 32 | context->lengthLow;
    const std::uint64_t after = before + (count << 3);
    if (after < before) return false;
    context->lengthLow = static_cast<Word>(after);
    context->lengthHigh = static_cast<Word>(after >> 32);
  } else {
    const Word low = context->lengthLow + (count << 3);
    const Word carry = (low < context->lengthLow ? 1 : 0) + (count >> 61);
    const Word high = context->lengthHigh + carry;
    if (high < context->lengthHigh) return false;
    context->lengthLow = low;
    context->lengthHigh = high;
  }
  return true;
}

template <class Context, void (*Compress)(typename Context::WordType*, const std::uint8_t*, std::size_t)>
int Input(Context* context, const std::uint8_t* data, std::size_t length) {
  constexpr std::size_t kBlock = Context::kBlockBytes;
  if (length == 0) return kShaSuccess;
  if (context == nullptr || data == nullptr) return kShaNull;
  if (context->corrupted != kShaSuccess) return context->corrupted;
  if (context->computed) return context->corrupted = kShaStateError;
  if (!AddLength(context, length)) return context->corrupted = kShaInputTooLong;

  std::size_t index = context->blockIndex;
  if (index != 0) {
    const std::size_t take = std::min(length, kBlock - index);
    std::memcpy(context->block + index, data, take);
    index += take;
    data += take;
    length -= take;
    if (index < kBlock) {
      context->blockIndex = static_cast<std::uint16_t>(index);
      return kShaSuccess;
    }
    Compress(context->intermediateHash, context->block, 1);
  }
  // Whole blocks straight from the caller's bytes.
  if (length >= kBlock) {
    Compress(context->intermediateHash, data, length / kBlock);
    data += length - length % kBlock;
    length %= kBlock;
  }
  std::memcpy(context->block, data, length);
  context->blockIndex = static_cast<std::uint16_t>(length);
  return kShaSuccess;
}

template <class Context, void (*Compress)(typename Context::WordType*, const std::uint8_t*, std::size_t)>
int Result(Context* context, std::uint8_t* digest, std::size_t hashBytes) {
  using Word = typename Context::WordType;
  constexpr std::size_t kBlock = Context::kBlockBytes;
  constexpr std::size_t kLengthBytes = 2 * sizeof(Word);
  if (context == nullptr || digest == nullptr) return kShaNull;
  if (context->corrupted != kShaSuccess) return context->corrupted;
  if (!context->computed) {
    std::size_t index = context->blockIndex;
    context->block[index++] = 0x80;
    if (index > kBlock - kLengthBytes) {
      std::fill(context->block + index, context->block + kBlock, std::uint8_t{0});
      Compress(context->intermediateHash, context->block, 1);
      index = 0;
    }
    std::fill(context->block + index, context->block + kBlock - kLengthBytes, std::uint8_t{0});
    StoreBigEndian(context->lengthHigh, context->block + kBlock - kLengthBytes);
    StoreBigEndian(context->lengthLow, context->block + kBlock - sizeof(Word));
    Compress(context->intermediateHash, context->block, 1);
    // The message may be secret; only the chaining value stays.
    SecureWipe(context->block, kBlock);
    context->lengthLow = 0;
    context->lengthHigh = 0;
    context->blockIndex = 0;
    context->computed = true;
  }
  for (std::size_t i = 0; i < hashBytes; ++i) {
    digest[i] = static_cast<std::uint8_t>(context->intermediateHash[i / sizeof(Word)] >>
                                          (8 * (sizeof(Word) - 1 - i % sizeof(Word))));
  }
  return kShaSuccess;
}

}  // namespace vela::sha_engine
