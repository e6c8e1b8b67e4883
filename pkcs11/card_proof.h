// The reads that prove a cached container against the card. The one place
// this module speaks to the card itself rather than through the minidriver:
// the minidriver has no partial read and would read the public key as well,
// which the certificate already holds. The files are those of the card's
// fixed profile table.
#pragma once

#include <optional>

#include "pkcs11/objects.h"
#include "pkcs11/reader_port.h"

namespace vela::pkcs11 {

// What a cached container is served as, before any card read: its
// certificate alone (without bytes the file held after it) and the public
// key inside that certificate. Nothing when the container has no cached
// certificate (a certificate may have been added since), the certificate
// does not parse, its key is not a P-256 point on the curve, or the cached
// key is another.
std::optional<ContainerData> CachedContainerShape(const ContainerData& cached);

// Whether the card's certificate file of the container starts with every
// byte of `certificate`: SELECT of the file, then READ BINARY of exactly its
// length in pieces of up to 255 bytes. The certificate's DER header is among
// those bytes, so its length is proven with the rest. False on any refusal.
bool CardHoldsCertificate(CardLink& link, int index, std::span<const std::uint8_t> certificate);

}  // namespace vela::pkcs11
