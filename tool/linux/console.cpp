#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "tool/console.h"

namespace vela::tool {

bool ReadHiddenLine(const char* prompt, std::string* line) {
  std::fprintf(stderr, "%s", prompt);
  std::fflush(stderr);
  termios saved{};
  const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, *line));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
  }
  return ok;
}

}  // namespace vela::tool
