// Keys and certificates of the emulated card, made with libcrypto. Everything
// is derived from the personalisation seed, so two cards made from the same
// seed hold the same keys and byte-identical certificates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <openssl/evp.h>

namespace vela::emu {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

// A P-256 key pair.
class EcKey {
 public:
  // The private scalar is derived from the seed and the label.
  static EcKey Derive(std::uint64_t seed, const std::string& label);

  EVP_PKEY* pkey() const { return pkey_.get(); }
  // 04 X Y, 65 bytes.
  const std::vector<std::uint8_t>& publicPoint() const { return point_; }
  // ECDSA over `digest` as the hash value (longer values are truncated as
  // ECDSA does); r || s, 32 bytes each.
  std::vector<std::uint8_t> SignDigest(std::span<const std::uint8_t> digest) const;
  // The X coordinate of the shared point; empty when `peerPoint` (04 X Y) is
  // not a point of the curve.
  std::vector<std::uint8_t> Agree(std::span<const std::uint8_t> peerPoint) const;
  // A deterministic ECDSA signature over SHA-256(`message`) in DER, always 70
  // bytes long, so a certificate's length does not depend on the signature.
  std::vector<std::uint8_t> SignForCertificate(std::span<const std::uint8_t> message) const;

 private:
  PkeyPtr pkey_;
  std::vector<std::uint8_t> scalar_;  // 32 bytes, big-endian
  std::vector<std::uint8_t> point_;
};

// Whether a certificate is for a signature key or a key-agreement key.
enum class KeyUse { kSignature, kAgreement, kCertificateAuthority };

struct CertificateRequest {
  std::string commonName;
  std::uint32_t serialNumber = 1;
  KeyUse use = KeyUse::kSignature;
  // Exact DER length wanted; 0 gives the natural length. A harmless comment
  // extension is padded to reach it.
  std::size_t size = 0;
  // The issue of a renewed certificate, which sets its validity: 0 is valid
  // from 2025-01-01 to the end of 2049; issue N from N days after 2025-01-01
  // for twenty years.
  unsigned generation = 0;
  // The holder's e-mail address as the certificate's subjectAltName
  // (rfc822Name), which mail programs match to an account; empty: none.
  std::string email;
};

// The highest generation: its twenty years end before 2050, the last date a
// UTCTime holds.
inline constexpr unsigned kMaxCertificateGeneration = 1000;

// A DER X.509 certificate for `subject`, issued and signed by `issuerKey`
// under the issuer name `issuerName`. Throws std::runtime_error when the wanted
// size is below the certificate's natural length.
std::vector<std::uint8_t> MakeCertificate(const CertificateRequest& request, const EcKey& subject,
                                          const std::string& issuerName, const EcKey& issuerKey);

// P-256 uncompressed point to an EVP_PKEY (null when not on the curve).
PkeyPtr PublicKeyFromPoint(std::span<const std::uint8_t> point);

}  // namespace vela::emu
