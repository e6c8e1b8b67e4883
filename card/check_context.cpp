#include "card/check_context.h"

#include "card/card_commands.h"

namespace vela {

DWORD CheckContext(const CARD_DATA* cardData) {
  const CardContext* context = ContextOf(cardData);
  if (context == nullptr || context->profile.profileMagic != kProfileMagic ||
      context->profile.profileVersion == 0) {
    return SCARD_E_INVALID_PARAMETER;
  }
  // A removed or reset card shows up at the entry's own first command.
  (void)SelectApplication(cardData);
  return 0;
}

void TraceHook(const CARD_DATA*) {}

}  // namespace vela
