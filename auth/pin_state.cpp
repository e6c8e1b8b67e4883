#include "auth/pin_state.h"

#include <algorithm>

#include "core/secure_wipe.h"

namespace vela {

bool UserIdIs(LPCWSTR userId, std::u16string_view expected) {
  if (userId == nullptr) return false;
  // Bounded by the expected length plus its terminator: a host's string is
  // never read further than the comparison needs.
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (userId[i] != expected[i]) return false;
  }
  return userId[expected.size()] == u'\0';
}

void StoreAttempts(PDWORD attemptsRemaining, DWORD count) {
  if (attemptsRemaining != nullptr) *attemptsRemaining = count;
}

bool SessionPinIssued(const CardContext& context) {
  return std::any_of(std::begin(context.sessionPin), std::end(context.sessionPin), [](BYTE b) { return b != 0; });
}

void DiscardSessionPin(CardContext& context) { SecureWipe(context.sessionPin, sizeof(context.sessionPin)); }

}  // namespace vela
