// OpenSSL's libcrypto as the reference the module's own primitives and
// derivations are checked against.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <openssl/evp.h>

namespace vela::test {

using Bytes = std::vector<std::uint8_t>;

// `name` is an OpenSSL digest name: "MD5", "SHA1", "SHA224", "SHA256", ...
Bytes ReferenceDigest(const std::string& name, const Bytes& data);
Bytes ReferenceHmac(const std::string& name, const Bytes& key, const Bytes& data);
// TLS1-PRF with `digest` ("MD5-SHA1" is TLS 1.0; another digest gives its
// P_hash alone) over `seed` (the label and seed already joined).
Bytes ReferenceTlsPrf(const std::string& digest, const Bytes& secret, const Bytes& seed, std::size_t length);
// ANSI X9.63 KDF (X963KDF) of `secret` with `sharedInfo`.
Bytes ReferenceX963Kdf(const std::string& digest, const Bytes& secret, const Bytes& sharedInfo, std::size_t length);
// The ECDH shared X coordinate of a key pair and a peer's public key.
Bytes ReferenceAgree(EVP_PKEY* own, EVP_PKEY* peer);
// Whether r || s is an ECDSA signature of `hash` under `key`.
bool ReferenceEcdsaVerify(EVP_PKEY* key, const Bytes& hash, const Bytes& signature);

}  // namespace vela::test
