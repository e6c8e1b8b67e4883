// PINs on the command line: read from a prompt without echo (or given with
// an option, for scripts), verified through the module, and the module's
// refusals turned into messages that say how many attempts are left.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tool/command.h"

namespace vela::tool {

// A PIN's bytes, wiped when the value goes.
class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string_view text) : bytes_(text.begin(), text.end()) {}
  ~Secret();
  Secret(Secret&& other) noexcept : bytes_(std::move(other.bytes_)) {}
  Secret& operator=(Secret&& other) noexcept;
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;

  BYTE* data() { return bytes_.data(); }
  DWORD size() const { return static_cast<DWORD>(bytes_.size()); }
  bool empty() const { return bytes_.empty(); }
  bool operator==(const Secret& other) const { return bytes_ == other.bytes_; }

 private:
  std::vector<BYTE> bytes_;
};

// `given` (the value of --`option`), or else what the user types after
// `prompt` on the terminal without echo. False (with a message in `error`)
// when neither gives a PIN.
bool ReadSecret(std::optional<std::string> given, std::string_view option, const char* prompt, Secret* secret,
                std::string* error);

// Verifies the user PIN (or the administrator PIN) in the session's context.
// Returns 0, or fails the session with a message and returns the code.
DWORD VerifyPin(Session& session, Secret& pin, bool admin = false);

// Fails the session for a refused `what` ("PIN verification", "signing"),
// with the attempts left when the module reported them (`attempts` is
// kAttemptsUnknown otherwise). Returns kExitFailure.
inline constexpr DWORD kAttemptsUnknown = 0xFFFFFFFF;
int FailRefusal(Session& session, const std::string& what, DWORD code, DWORD attempts = kAttemptsUnknown);

}  // namespace vela::tool
