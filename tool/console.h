// Typing a secret at the console, per platform.
#pragma once

#include <string>

namespace vela::tool {

// One line from the terminal with echo off, after `prompt` on standard error
// (from standard input as it is when that is no terminal).
bool ReadHiddenLine(const char* prompt, std::string* line);

}  // namespace vela::tool
