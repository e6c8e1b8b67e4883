// The key containers of every VELA generation-3 card: entries 0 to 7 of the
// card profile (8 to 15 are empty), with the files that hold each
// container's certificate and public key. Data only: the PKCS#11 module's
// cache reads it too, to prove what it keeps against the card.
#pragma once

#include <array>

#include "core/card_context.h"

namespace vela {

inline constexpr std::array<ProfileEntry, 8> kProfileTable = {{
    {0x03, 0x80, 0x1F, 0, AT_ECDSA_P256, 32, kRoleSignature, 4, 0xDF02, 0xC000, 0x4531},
    {0x03, 0x80, 0x1F, 0, AT_ECDSA_P256, 32, kRoleSignature, 4, 0xDF02, 0x4331, 0x4531},
    {0x03, 0x82, 0x1F, 0, AT_ECDSA_P256, 32, kRoleSignature, 4, 0xDF02, 0xC500, 0x4571},
    {0x03, 0x82, 0x1F, 0, AT_ECDSA_P256, 32, kRoleSignature, 4, 0xDF02, 0x4371, 0x4571},
    {0x03, 0x81, 0x1F, 0, AT_ECDHE_P256, 32, kRoleKeyExchange, 0, 0xDF02, 0xC200, 0x45B1},
    {0x03, 0x81, 0x1F, 0, AT_ECDHE_P256, 32, kRoleKeyExchange, 0, 0xDF02, 0x43B1, 0x45B1},
    {0x03, 0x85, 0x1F, 1, AT_ECDHE_P256, 32, kRoleKeyExchange, 0, 0xDF02, 0xC201, 0x45B2},
    {0x81, 0x84, 0x1F, 1, AT_ECDSA_P256, 32, kRoleSignature, 0, 0xDF01, 0xC001, 0x45B2},
}};

}  // namespace vela
