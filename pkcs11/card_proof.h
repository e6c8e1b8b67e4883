// The cheap reads that prove a cached container unchanged on the card. The
// one place this module speaks to the card itself rather than through the
// minidriver: the minidriver has no partial read, and reading each
// certificate whole is the cost the cache is there to save. The files are
// those of the card's fixed profile table.
#pragma once

#include "pkcs11/objects.h"
#include "pkcs11/reader_port.h"

namespace vela::pkcs11 {

// How many of a certificate's last bytes are compared.
inline constexpr std::size_t kProofBytes = 16;

// Whether the card still holds the cached container's certificate: two
// commands, SELECT of the certificate file and READ BINARY of the last
// kProofBytes of the certificate where the cached one has them. They end
// its signature, which covers its serial number, issuer, validity and key:
// a certificate renewed or replaced, or of another length, reads otherwise.
// False for a container without a cached certificate (its key alone proves
// nothing about a certificate added since), and on any refusal.
bool CertificateUnchanged(CardLink& link, const ContainerData& cached);

}  // namespace vela::pkcs11
