#include "fake_window.h"

#include <map>
#include <mutex>

namespace vela::test {

namespace {

struct KnownWindow {
  bool unicode;
  bool infoAvailable;
};

struct Windows {
  std::mutex mutex;
  std::vector<NoticeEvent> events;
  std::map<platform::WindowHandle, KnownWindow> known;
  bool failCreation = false;
  std::uintptr_t nextNotice = 0x7000;
};

Windows& windows() {
  static Windows w;
  return w;
}

char desktop;

void Record(NoticeEvent event) {
  Windows& w = windows();
  std::lock_guard lock(w.mutex);
  w.events.push_back(std::move(event));
}

}  // namespace

std::vector<NoticeEvent> NoticeEvents() {
  Windows& w = windows();
  std::lock_guard lock(w.mutex);
  return w.events;
}

std::string NoticeLifecycle() {
  std::string out;
  for (const NoticeEvent& e : NoticeEvents()) out += (out.empty() ? "" : " ") + e.what;
  return out;
}

void ClearNoticeEvents() {
  Windows& w = windows();
  std::lock_guard lock(w.mutex);
  w.events.clear();
  w.failCreation = false;
}

void FailNoticeCreation(bool fail) {
  Windows& w = windows();
  std::lock_guard lock(w.mutex);
  w.failCreation = fail;
}

void RegisterWindow(platform::WindowHandle window, bool unicode, bool infoAvailable) {
  Windows& w = windows();
  std::lock_guard lock(w.mutex);
  w.known[window] = {unicode, infoAvailable};
}

void ForgetWindows() {
  Windows& w = windows();
  std::lock_guard lock(w.mutex);
  w.known.clear();
}

}  // namespace vela::test

namespace vela::platform {

using test::windows;

WindowHandle CreateNotice(WindowHandle parent) {
  WindowHandle notice = nullptr;
  {
    test::Windows& w = windows();
    std::lock_guard lock(w.mutex);
    if (!w.failCreation) notice = reinterpret_cast<WindowHandle>(w.nextNotice++);
  }
  test::Record({"create", notice, parent, {}});
  return notice;
}

void ShowNotice(WindowHandle notice) { test::Record({"show", notice, nullptr, {}}); }

void SetNoticeText(WindowHandle notice, const char16_t* text) {
  test::Record({"text", notice, nullptr, text == nullptr ? u"" : text});
}

void DestroyNotice(WindowHandle notice) { test::Record({"destroy", notice, nullptr, {}}); }

WindowHandle DesktopWindow() { return &test::desktop; }

bool IsUnicodeWindow(WindowHandle window) {
  if (window == &test::desktop) return true;
  test::Windows& w = windows();
  std::lock_guard lock(w.mutex);
  const auto it = w.known.find(window);
  return it != w.known.end() && it->second.unicode;
}

bool IsExistingWindow(WindowHandle window) {
  if (window == &test::desktop) return true;
  test::Windows& w = windows();
  std::lock_guard lock(w.mutex);
  return w.known.count(window) != 0;
}

bool WindowInfoAvailable(WindowHandle window) {
  if (window == &test::desktop) return true;
  test::Windows& w = windows();
  std::lock_guard lock(w.mutex);
  const auto it = w.known.find(window);
  return it != w.known.end() && it->second.infoAvailable;
}

}  // namespace vela::platform
