// A certificate's fields for the reports, read with the platform's own
// X.509 parser (OpenSSL on Linux, crypt32 on Windows).
#pragma once

#include <cstdint>
#include <vector>

#include "tool/report.h"

namespace vela::tool {

// Adds "subject", "issuer", "serialNumber", "notBefore", "notAfter" and
// "publicKey" (04 X Y in hexadecimal) to `out`, or "error" when `der` is no
// DER X.509 certificate; `point` gets the public key (empty without one).
void DescribeCertificateDer(const std::vector<std::uint8_t>& der, host::Value& out, std::vector<std::uint8_t>* point);

}  // namespace vela::tool
