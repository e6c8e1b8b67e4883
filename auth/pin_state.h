// The authentication state of a CardContext as PIN verification and PIN
// change both use it.
#pragma once

#include <string_view>

#include "core/card_context.h"

namespace vela {

inline constexpr WORD kSwSuccess = 0x9000;
inline constexpr WORD kSwPinBlocked = 0x63C0;
inline constexpr WORD kSwAuthenticationBlocked = 0x6983;
inline constexpr WORD kSwConditionsNotSatisfied = 0x6985;

inline constexpr std::u16string_view kUserId = u"user";
inline constexpr std::u16string_view kAdminId = u"admin";

// Exact, case-sensitive comparison of a host's user id; null matches nothing.
bool UserIdIs(LPCWSTR userId, std::u16string_view expected);

// Writes the attempt count when the host gave somewhere to put it.
void StoreAttempts(PDWORD attemptsRemaining, DWORD count);

bool SessionPinIssued(const CardContext& context);
void DiscardSessionPin(CardContext& context);

}  // namespace vela
