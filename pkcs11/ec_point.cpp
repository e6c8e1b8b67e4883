#include "pkcs11/ec_point.h"

#include <array>

namespace vela::pkcs11 {
namespace {

// 256-bit numbers as eight 32-bit words, the least significant first.
using Field = std::array<std::uint32_t, 8>;

constexpr Field kPrime = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x00000000,
                          0x00000000, 0x00000000, 0x00000001, 0xFFFFFFFF};
constexpr Field kB = {0x27D2604B, 0x3BCE3C3E, 0xCC53B0F6, 0x651D06B0,
                      0x769886BC, 0xB3EBBD55, 0xAA3A93E7, 0x5AC635D8};

// a + b, and the carry out.
std::uint32_t AddRaw(const Field& a, const Field& b, Field* sum) {
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    carry += static_cast<std::uint64_t>(a[i]) + b[i];
    (*sum)[i] = static_cast<std::uint32_t>(carry);
    carry >>= 32;
  }
  return static_cast<std::uint32_t>(carry);
}

// a - b, and the borrow out.
std::uint32_t SubRaw(const Field& a, const Field& b, Field* difference) {
  std::int64_t borrow = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    const std::int64_t d = static_cast<std::int64_t>(a[i]) - b[i] - borrow;
    (*difference)[i] = static_cast<std::uint32_t>(d);
    borrow = d < 0 ? 1 : 0;
  }
  return static_cast<std::uint32_t>(borrow);
}

bool BelowPrime(const Field& a) {
  Field ignored;
  return SubRaw(a, kPrime, &ignored) != 0;
}

// Modular operations on numbers below the prime.
Field Add(const Field& a, const Field& b) {
  Field sum;
  const std::uint32_t carry = AddRaw(a, b, &sum);
  if (carry != 0 || !BelowPrime(sum)) SubRaw(sum, kPrime, &sum);
  return sum;
}

Field Sub(const Field& a, const Field& b) {
  Field difference;
  if (SubRaw(a, b, &difference) != 0) AddRaw(difference, kPrime, &difference);
  return difference;
}

// Double and add over b's bits: 256 steps, enough for a handful of points.
Field Mul(const Field& a, const Field& b) {
  Field product{};
  for (int bit = 255; bit >= 0; --bit) {
    product = Add(product, product);
    if ((b[static_cast<std::size_t>(bit / 32)] >> (bit % 32)) & 1) product = Add(product, a);
  }
  return product;
}

Field FromBigEndian(std::span<const std::uint8_t, 32> bytes) {
  Field out{};
  for (std::size_t i = 0; i < 32; ++i) {
    out[(31 - i) / 4] |= static_cast<std::uint32_t>(bytes[i]) << (8 * ((31 - i) % 4));
  }
  return out;
}

}  // namespace

bool IsP256Point(std::span<const std::uint8_t> point) {
  if (point.size() != 65 || point[0] != 0x04) return false;
  const Field x = FromBigEndian(point.subspan<1, 32>());
  const Field y = FromBigEndian(point.subspan<33, 32>());
  if (!BelowPrime(x) || !BelowPrime(y)) return false;
  const Field threeX = Add(Add(x, x), x);
  const Field right = Add(Sub(Mul(Mul(x, x), x), threeX), kB);
  return Mul(y, y) == right;
}

}  // namespace vela::pkcs11
