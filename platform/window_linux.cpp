// The headless window system of the Linux module: the PIN-pad notice is a line
// on standard error, and the only window a host can name is the desktop.
#include <cstdio>
#include <new>
#include <string>

#include "platform/utf8.h"
#include "platform/window.h"

namespace vela::platform {

namespace {

constexpr const char* kNoticeCaption = "VELA BaseCSP ReadOnly Minitreiber";

// Any fixed non-null value serves: nothing dereferences it.
char desktop;
// A notice has no state; each is a distinct live allocation so that handles
// differ while they exist.
struct Notice {};

}  // namespace

WindowHandle CreateNotice(WindowHandle) { return new (std::nothrow) Notice; }

void ShowNotice(WindowHandle) {}

void SetNoticeText(WindowHandle notice, const char16_t* text) {
  if (notice == nullptr || text == nullptr) return;
  try {
    const std::string line = std::string(kNoticeCaption) + ": " + Utf8FromUtf16(text) + "\n";
    std::fputs(line.c_str(), stderr);
  } catch (...) {
    // The notice is a courtesy; the verification runs without it.
  }
}

void DestroyNotice(WindowHandle notice) { delete static_cast<Notice*>(notice); }

WindowHandle DesktopWindow() { return &desktop; }
bool IsUnicodeWindow(WindowHandle window) { return window == &desktop; }
bool IsExistingWindow(WindowHandle window) { return window == &desktop; }
bool WindowInfoAvailable(WindowHandle window) { return window == &desktop; }

}  // namespace vela::platform
