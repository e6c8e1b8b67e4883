// What the fuzzers feed the module: card answers and host choices, read in
// order from the fuzzer's bytes (or, when seeds are made, written in order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fake_card.h"

namespace vela::fuzz {

class RoadInput {
 public:
  virtual ~RoadInput() = default;
  virtual bool exhausted() const = 0;
  // A number below `count` (count > 0).
  virtual std::size_t Choose(std::size_t count) = 0;
  // `count` bytes for a host record (fewer when the input runs out).
  virtual std::vector<std::uint8_t> Bytes(std::size_t count) = 0;
  // The card's answer to `command`: 0 and the response, or a PC/SC error.
  virtual std::uint32_t Answer(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) = 0;
  // The reader's answer to SCardControl, encoded like a card's answer.
  virtual std::uint32_t ControlAnswer(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                                      std::vector<std::uint8_t>* out) = 0;

  std::uint32_t Word() {
    std::uint32_t value = 0;
    for (std::uint8_t b : Bytes(4)) value = value << 8 | b;
    return value;
  }
};

// Reads a fuzzer's bytes. Answers: a 16-bit little-endian length (values
// from 0xFFF8 up name a transport error) and that many bytes.
class ByteInput : public RoadInput {
 public:
  explicit ByteInput(std::span<const std::uint8_t> data) : data_(data) {}
  bool exhausted() const override { return next_ >= data_.size(); }
  std::size_t Choose(std::size_t count) override;
  std::vector<std::uint8_t> Bytes(std::size_t count) override;
  std::uint32_t Answer(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) override;
  std::uint32_t ControlAnswer(std::uint32_t, std::span<const std::uint8_t> in, std::vector<std::uint8_t>* out) override {
    return Answer(in, out);
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t next_ = 0;
};

// Makes a seed: choices come from a script, answers from a real card, and
// everything is written in ByteInput's encoding.
class SeedWriter : public RoadInput {
 public:
  SeedWriter(test::CardEndpoint* card, std::vector<std::size_t> choices)
      : card_(card), choices_(std::move(choices)) {}
  bool exhausted() const override { return nextChoice_ >= choices_.size(); }
  std::size_t Choose(std::size_t count) override;
  std::vector<std::uint8_t> Bytes(std::size_t count) override;
  std::uint32_t Answer(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) override;
  std::uint32_t ControlAnswer(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                              std::vector<std::uint8_t>* out) override;
  // Host record bytes the next Bytes calls return (and record).
  void Supply(std::vector<std::uint8_t> bytes) { supplied_ = std::move(bytes); }
  const std::vector<std::uint8_t>& seed() const { return seed_; }

 private:
  std::uint32_t Record(std::uint32_t rc, const std::vector<std::uint8_t>& response);
  test::CardEndpoint* card_;
  std::vector<std::size_t> choices_;
  std::size_t nextChoice_ = 0;
  std::vector<std::uint8_t> supplied_;
  std::vector<std::uint8_t> seed_;
};

// A card (and its reader) that answers from the input; PC/SC's own 1024-byte
// limit applies.
class HostileCard : public test::CardEndpoint {
 public:
  explicit HostileCard(RoadInput* input);
  ~HostileCard() override;
  std::uint32_t Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) override;
  std::uint32_t Control(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                        std::vector<std::uint8_t>* out) override;
  std::uintptr_t handle() const { return handle_; }

 private:
  RoadInput* input_;
  std::uintptr_t handle_;
};

}  // namespace vela::fuzz
