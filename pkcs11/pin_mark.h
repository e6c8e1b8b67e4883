// The mark a PIN change leaves for the other programs of the same user, so
// that none of them presents the old PIN again: a small file per card (named
// after its serial number) holding a random token and nothing secret. A
// program notes the token when it logs in; another token at the moment it
// would present its PIN again means the PIN changed since its login.
//
// The file lives in the user's runtime folder ($XDG_RUNTIME_DIR), or else
// in /tmp/vela3ro-UID, a folder of the user's own; each only where it is a
// real folder of the effective user that nobody else may write, and the
// file only where it is a regular file of that user. Elsewhere no mark is
// read or written, and the retry counter alone limits what a stale PIN costs.
#pragma once

#include <array>
#include <cstdint>

namespace vela::pkcs11 {

using PinMark = std::array<std::uint8_t, 16>;  // all zero: none

// The card's mark as it is now; none when there is none or it cannot be read.
PinMark ReadPinMark(const std::array<std::uint8_t, 10>& serial);
// Leaves a new mark for the card and gives it; none when it cannot be written.
PinMark WritePinMark(const std::array<std::uint8_t, 10>& serial);

}  // namespace vela::pkcs11
