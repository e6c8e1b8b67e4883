#include <windows.h>

#include <cstdio>
#include <iostream>

#include "tool/console.h"

namespace vela::tool {

bool ReadHiddenLine(const char* prompt, std::string* line) {
  std::fprintf(stderr, "%s", prompt);
  std::fflush(stderr);
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  const bool console = GetConsoleMode(input, &saved) != 0;
  if (console) SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  const bool ok = static_cast<bool>(std::getline(std::cin, *line));
  if (console) {
    SetConsoleMode(input, saved);
    std::fprintf(stderr, "\n");
  }
  if (ok && !line->empty() && line->back() == '\r') line->pop_back();
  return ok;
}

}  // namespace vela::tool
