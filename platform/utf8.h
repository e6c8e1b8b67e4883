// UTF-16 to UTF-8, the narrow text of the Linux platform.
#pragma once

#include <string>
#include <string_view>

namespace vela::platform {

// A lone surrogate becomes '?'.
std::string Utf8FromUtf16(std::u16string_view text);

}  // namespace vela::platform
