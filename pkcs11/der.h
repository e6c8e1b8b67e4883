// The few DER structures the PKCS#11 objects are made of: the fields of an
// X.509 certificate that become attributes, and the encodings of a P-256
// public key. Certificates come from the card, so every length is checked
// against the bytes there are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vela::pkcs11 {

using Bytes = std::vector<std::uint8_t>;

// One element: its tag, its whole encoding and its content.
struct DerElement {
  std::uint8_t tag = 0;
  std::span<const std::uint8_t> whole;
  std::span<const std::uint8_t> content;
};

// Takes the element at the start of `input` and moves `input` past it. False
// (and `input` untouched) for a truncated element, an indefinite or
// over-long length, or a multi-byte tag.
bool TakeElement(std::span<const std::uint8_t>& input, DerElement* element);

// What the objects need from a certificate, each as its DER encoding.
struct CertificateFields {
  Bytes certificate;  // the certificate alone, without bytes the file holds after it
  Bytes serialNumber;  // the INTEGER, tag and length included
  Bytes issuer;
  Bytes subject;
  Bytes subjectPublicKeyInfo;
  std::string commonName;  // UTF-8; empty when the subject has none
};

// False when `file` does not start with a certificate of that shape.
bool ParseCertificate(std::span<const std::uint8_t> file, CertificateFields* fields);

// The named curve P-256 as CKA_EC_PARAMS holds it (an OBJECT IDENTIFIER).
const Bytes& P256Parameters();
// 04 X Y as the DER OCTET STRING of CKA_EC_POINT.
Bytes EcPointOctetString(std::span<const std::uint8_t> point);
// SubjectPublicKeyInfo of a P-256 point 04 X Y.
Bytes P256SubjectPublicKeyInfo(std::span<const std::uint8_t> point);
// The point 04 X Y of a SubjectPublicKeyInfo that is exactly a P-256 key's
// (the encoding P256SubjectPublicKeyInfo makes); false for any other.
bool P256PointOfKeyInfo(std::span<const std::uint8_t> keyInfo, Bytes* point);

}  // namespace vela::pkcs11
