// Hex text for traces and command-line options.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vela::emu {

// "00 A4 08 0C": uppercase, one space between bytes.
std::string HexText(std::span<const std::uint8_t> bytes);
// Accepts upper or lower case with optional spaces; nothing on any other
// character or an odd number of digits.
std::optional<std::vector<std::uint8_t>> ParseHex(const std::string& text);

}  // namespace vela::emu
