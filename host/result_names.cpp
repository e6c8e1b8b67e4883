#include "host/result_names.h"

#include <cstdio>

#include "core/result_names.h"

namespace vela::host {

namespace {

std::string Hex(std::uint32_t code, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "%0*X", digits, code);
  return text;
}

}  // namespace

std::string ResultName(std::uint32_t code) {
  if (const char* name = ResultCodeName(code)) return name;
  if ((code >= 0x6000 && code <= 0x6FFF) || (code >= 0x9000 && code <= 0x9FFF)) return "SW " + Hex(code, 4);
  return "0x" + Hex(code, 8);
}

std::string ResultText(std::uint32_t code) {
  const std::string name = ResultName(code);
  const std::string number = "0x" + Hex(code, 8);
  return name == number ? name : name + " (" + number + ")";
}

}  // namespace vela::host
