// How the test host reports: "ok NAME" or "FAIL NAME: detail" per check,
// "NAME: value" for what the Linux side verifies.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vela::winetest {

using Bytes = std::vector<std::uint8_t>;

inline int failures = 0;

inline void Check(bool condition, const char* name, const std::string& detail = {}) {
  if (condition) {
    std::printf("ok %s\n", name);
  } else {
    std::printf("FAIL %s%s%s\n", name, detail.empty() ? "" : ": ", detail.c_str());
    ++failures;
  }
  std::fflush(stdout);
}

inline void Report(const char* name, const std::string& value) {
  std::printf("%s: %s\n", name, value.c_str());
  std::fflush(stdout);
}

inline std::string Hex(const std::uint8_t* data, std::size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

inline std::string Hex(const Bytes& bytes) { return Hex(bytes.data(), bytes.size()); }

inline std::string Code(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace vela::winetest
