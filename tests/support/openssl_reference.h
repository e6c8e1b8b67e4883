// OpenSSL's libcrypto as the reference the module's own primitives and
// derivations are checked against.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>

namespace vela::test {

using Bytes = std::vector<std::uint8_t>;

struct PkeyFree {
  void operator()(EVP_PKEY* key) const;
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// `name` is an OpenSSL digest name: "MD5", "SHA1", "SHA224", "SHA256", ...
Bytes ReferenceDigest(const std::string& name, const Bytes& data);
Bytes ReferenceHmac(const std::string& name, const Bytes& key, const Bytes& data);
// TLS1-PRF with `digest` ("MD5-SHA1" is TLS 1.0; another digest gives its
// P_hash alone) over `seed` (the label and seed already joined).
Bytes ReferenceTlsPrf(const std::string& digest, const Bytes& secret, const Bytes& seed, std::size_t length);
// ANSI X9.63 KDF (X963KDF) of `secret` with `sharedInfo`.
Bytes ReferenceX963Kdf(const std::string& digest, const Bytes& secret, const Bytes& sharedInfo, std::size_t length);
// The ECDH shared X coordinate of a key pair and a peer's public key (empty
// when OpenSSL refuses).
Bytes ReferenceAgree(EVP_PKEY* own, EVP_PKEY* peer);
// Whether r || s is an ECDSA signature of `hash` under `key`.
bool ReferenceEcdsaVerify(EVP_PKEY* key, const Bytes& hash, const Bytes& signature);

// A new P-256 key pair, for the peer of an agreement.
Pkey FreshPeerKey();
// The peer's public key as the host hands it over: "ECK1", 32, X, Y.
Bytes PeerKeyBlob(EVP_PKEY* peer);
// Whether `signature` (r || s, 32 bytes each) is a valid ECDSA signature of
// `hash` under the public key of the DER certificate `certificate`.
bool SignatureVerifies(const Bytes& certificate, const Bytes& hash, const Bytes& signature);

}  // namespace vela::test
