// The load notification takes and gives back the TLS slot of the thread mark.
#pragma once

namespace vela::platform {

void TakeThreadMarkSlot();
void ReleaseThreadMarkSlot();

}  // namespace vela::platform
