// The one check the module makes of a public key it did not read from the
// card's key file: that it is a P-256 point at all. Small field arithmetic of
// its own (the module has no big-number library), slow and plain, for a few
// points per token.
#pragma once

#include <cstdint>
#include <span>

namespace vela::pkcs11 {

// Whether `point` is 04 X Y with X and Y below the field prime and on the
// curve y^2 = x^3 - 3x + b.
bool IsP256Point(std::span<const std::uint8_t> point);

}  // namespace vela::pkcs11
