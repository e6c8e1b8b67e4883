#include "own_stack.h"

#include <pthread.h>

#include <algorithm>

namespace vela::test {

OwnStack::OwnStack(std::function<void()> body) : body_(std::move(body)), memory_(kSize, 0) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstack(&attributes, memory_.data(), memory_.size());
  pthread_t thread;
  started_ = pthread_create(&thread, &attributes, Run, this) == 0;
  pthread_attr_destroy(&attributes);
  if (started_) pthread_join(thread, nullptr);
}

void* OwnStack::Run(void* self) {
  static_cast<OwnStack*>(self)->body_();
  return nullptr;
}

// The stack is read as plain bytes: AddressSanitizer poisons parts of it.
[[gnu::no_sanitize_address]] bool OwnStack::Holds(std::span<const std::uint8_t> pattern) const {
  for (std::size_t at = 0; at + pattern.size() <= memory_.size(); ++at) {
    std::size_t i = 0;
    while (i < pattern.size() && memory_[at + i] == pattern[i]) ++i;
    if (i == pattern.size()) return true;
  }
  return false;
}

[[gnu::no_sanitize_address]] std::size_t OwnStack::CountWords(std::span<const std::uint64_t> words) const {
  std::vector<std::uint64_t> sorted(words.begin(), words.end());
  std::sort(sorted.begin(), sorted.end());
  const std::uint8_t* base = memory_.data();
  const std::size_t skip = (8 - reinterpret_cast<std::uintptr_t>(base) % 8) % 8;
  std::size_t count = 0;
  for (std::size_t at = skip; at + 8 <= memory_.size(); at += 8) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i) word |= std::uint64_t{base[at + i]} << (8 * i);
    if (std::binary_search(sorted.begin(), sorted.end(), word)) ++count;
  }
  return count;
}

}  // namespace vela::test
