// The unit tests' window system: records what the module does with the
// PIN-pad notice and knows the windows a test registers.
#pragma once

#include <string>
#include <vector>

#include "platform/window.h"

namespace vela::test {

struct NoticeEvent {
  std::string what;  // "create", "show", "text", "destroy"
  platform::WindowHandle notice = nullptr;
  platform::WindowHandle owner = nullptr;  // for "create"
  std::u16string text;                     // for "text"
};

std::vector<NoticeEvent> NoticeEvents();
// The event names in order, e.g. "create show text destroy".
std::string NoticeLifecycle();
void ClearNoticeEvents();
// CreateNotice returns null while set.
void FailNoticeCreation(bool fail);

// A window the checks of "Parent Window" know; `unicode` answers
// IsWindowUnicode, `infoAvailable` GetWindowInfo.
void RegisterWindow(platform::WindowHandle window, bool unicode = true, bool infoAvailable = true);
void ForgetWindows();

}  // namespace vela::test
