// The window system: the PIN-pad notice and the checks of a parent window.
#pragma once

#include <cstdint>

namespace vela::platform {

using WindowHandle = void*;

// The notice of dialog resource 101, owned by `parent` (may be null). Null
// when it cannot be created.
WindowHandle CreateNotice(WindowHandle parent);
// ShowWindow(SW_SHOW), then AnimateWindow(0 ms, AW_ACTIVATE).
void ShowNotice(WindowHandle notice);
// SetDlgItemTextW on the static control (id -1).
void SetNoticeText(WindowHandle notice, const char16_t* text);
void DestroyNotice(WindowHandle notice);

WindowHandle DesktopWindow();
bool IsUnicodeWindow(WindowHandle window);
bool IsExistingWindow(WindowHandle window);
// GetWindowInfo with the size field set; false when it fails.
bool WindowInfoAvailable(WindowHandle window);

}  // namespace vela::platform
