#include "frontend/settings.h"

namespace vela {

// Defaults only, until the registry is read.
void ReadSettings(CardContext* context) {
  if (context == nullptr || context->settingsLoaded) return;
  context->pinPadInUse = false;
  context->settingsLoaded = true;
  context->logApdu = false;
  context->logLevel = 0;
  context->cacheMode = 3;
  context->userPinCachePolicy = 0;
}

}  // namespace vela
