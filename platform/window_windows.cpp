// The PIN-pad notice from dialog resource 101 and the window checks, over
// user32.
#include <windows.h>

#include "platform/module_instance.h"
#include "platform/window.h"

namespace vela::platform {

namespace {

constexpr int kNoticeDialog = 101;
constexpr int kNoticeTextControl = -1;

HWND ToWindow(WindowHandle window) { return static_cast<HWND>(window); }

}  // namespace

static_assert(sizeof(wchar_t) == sizeof(char16_t), "SetDlgItemTextW takes UTF-16");

WindowHandle CreateNotice(WindowHandle parent) {
  // No dialog procedure: the notice only shows text while the reader waits.
  return CreateDialogParamA(static_cast<HINSTANCE>(ModuleInstance()), MAKEINTRESOURCEA(kNoticeDialog),
                            ToWindow(parent), nullptr, 0);
}

void ShowNotice(WindowHandle notice) {
  if (notice == nullptr) return;
  ShowWindow(ToWindow(notice), SW_SHOW);
  AnimateWindow(ToWindow(notice), 0, AW_ACTIVATE);
}

void SetNoticeText(WindowHandle notice, const char16_t* text) {
  if (notice == nullptr) return;
  SetDlgItemTextW(ToWindow(notice), kNoticeTextControl, reinterpret_cast<const wchar_t*>(text));
  // The thread blocks in the reader's verification next and processes no
  // messages: paint the notice and its text now, or it stays blank.
  RedrawWindow(ToWindow(notice), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void DestroyNotice(WindowHandle notice) {
  if (notice != nullptr) DestroyWindow(ToWindow(notice));
}

WindowHandle DesktopWindow() { return GetDesktopWindow(); }
bool IsUnicodeWindow(WindowHandle window) { return IsWindowUnicode(ToWindow(window)) != FALSE; }
bool IsExistingWindow(WindowHandle window) { return IsWindow(ToWindow(window)) != FALSE; }

bool WindowInfoAvailable(WindowHandle window) {
  WINDOWINFO info{};
  info.cbSize = sizeof(info);
  return GetWindowInfo(ToWindow(window), &info) != FALSE;
}

}  // namespace vela::platform
