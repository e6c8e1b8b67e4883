#include "pkcs11/der.h"

#include <algorithm>

namespace vela::pkcs11 {
namespace {

constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kSet = 0x31;
constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kObjectId = 0x06;
constexpr std::uint8_t kOctetString = 0x04;
constexpr std::uint8_t kBitString = 0x03;
constexpr std::uint8_t kExplicitVersion = 0xA0;

constexpr std::uint8_t kCommonNameOid[] = {0x55, 0x04, 0x03};

bool TakeTagged(std::span<const std::uint8_t>& input, std::uint8_t tag, DerElement* element) {
  std::span<const std::uint8_t> rest = input;
  if (!TakeElement(rest, element) || element->tag != tag) return false;
  input = rest;
  return true;
}

void AppendLength(Bytes& out, std::size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<std::uint8_t>(length));
  } else if (length <= 0xFF) {
    out.insert(out.end(), {0x81, static_cast<std::uint8_t>(length)});
  } else {
    out.insert(out.end(), {0x82, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
  }
}

Bytes Tlv(std::uint8_t tag, std::span<const std::uint8_t> content) {
  Bytes out = {tag};
  AppendLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

// A directory string as UTF-8: the 8-bit string types as they are, the
// BMPString's UCS-2 converted.
std::string DirectoryString(const DerElement& value) {
  switch (value.tag) {
    case 0x0C:  // UTF8String
    case 0x13:  // PrintableString
    case 0x16:  // IA5String
    case 0x14:  // TeletexString (Latin-1 in practice)
      return std::string(value.content.begin(), value.content.end());
    case 0x1E: {  // BMPString
      std::string out;
      for (std::size_t i = 0; i + 1 < value.content.size(); i += 2) {
        const unsigned c = static_cast<unsigned>(value.content[i]) << 8 | value.content[i + 1];
        if (c < 0x80) {
          out += static_cast<char>(c);
        } else if (c < 0x800) {
          out += static_cast<char>(0xC0 | c >> 6);
          out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
          out += static_cast<char>(0xE0 | c >> 12);
          out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
          out += static_cast<char>(0x80 | (c & 0x3F));
        }
      }
      return out;
    }
    default:
      return {};
  }
}

// The last common name of a Name (the most specific one); empty if none.
std::string CommonName(std::span<const std::uint8_t> name) {
  std::string found;
  DerElement set;
  while (TakeTagged(name, kSet, &set)) {
    std::span<const std::uint8_t> attributes = set.content;
    DerElement attribute;
    while (TakeTagged(attributes, kSequence, &attribute)) {
      std::span<const std::uint8_t> parts = attribute.content;
      DerElement oid, value;
      if (!TakeTagged(parts, kObjectId, &oid) || !TakeElement(parts, &value)) continue;
      if (std::ranges::equal(oid.content, kCommonNameOid)) found = DirectoryString(value);
    }
  }
  return found;
}

}  // namespace

bool TakeElement(std::span<const std::uint8_t>& input, DerElement* element) {
  if (input.size() < 2 || (input[0] & 0x1F) == 0x1F) return false;
  std::size_t offset = 2;
  std::size_t length = input[1];
  if (length & 0x80) {
    const std::size_t count = length & 0x7F;
    // No indefinite form, and nothing a certificate file could hold beyond 4 bytes.
    if (count == 0 || count > 4 || input.size() < 2 + count) return false;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = length << 8 | input[2 + i];
    offset += count;
  }
  if (length > input.size() - offset) return false;
  element->tag = input[0];
  element->whole = input.first(offset + length);
  element->content = input.subspan(offset, length);
  input = input.subspan(offset + length);
  return true;
}

bool ParseCertificate(std::span<const std::uint8_t> file, CertificateFields* fields) {
  DerElement certificate, tbs, serial, algorithm, issuer, validity, subject, spki;
  std::span<const std::uint8_t> rest = file;
  if (!TakeTagged(rest, kSequence, &certificate)) return false;
  std::span<const std::uint8_t> parts = certificate.content;
  if (!TakeTagged(parts, kSequence, &tbs)) return false;
  std::span<const std::uint8_t> tbsParts = tbs.content;
  DerElement version;
  TakeTagged(tbsParts, kExplicitVersion, &version);  // absent in version 1
  if (!TakeTagged(tbsParts, kInteger, &serial) || !TakeTagged(tbsParts, kSequence, &algorithm) ||
      !TakeTagged(tbsParts, kSequence, &issuer) || !TakeTagged(tbsParts, kSequence, &validity) ||
      !TakeTagged(tbsParts, kSequence, &subject) || !TakeTagged(tbsParts, kSequence, &spki)) {
    return false;
  }
  fields->certificate.assign(certificate.whole.begin(), certificate.whole.end());
  fields->serialNumber.assign(serial.whole.begin(), serial.whole.end());
  fields->issuer.assign(issuer.whole.begin(), issuer.whole.end());
  fields->subject.assign(subject.whole.begin(), subject.whole.end());
  fields->subjectPublicKeyInfo.assign(spki.whole.begin(), spki.whole.end());
  fields->commonName = CommonName(subject.content);
  return true;
}

const Bytes& P256Parameters() {
  static const Bytes kParameters = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
  return kParameters;
}

Bytes EcPointOctetString(std::span<const std::uint8_t> point) { return Tlv(kOctetString, point); }

Bytes P256SubjectPublicKeyInfo(std::span<const std::uint8_t> point) {
  static const Bytes kEcPublicKey = {0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
  Bytes algorithm = kEcPublicKey;
  algorithm.insert(algorithm.end(), P256Parameters().begin(), P256Parameters().end());
  Bytes bits = {0x00};
  bits.insert(bits.end(), point.begin(), point.end());
  Bytes content = Tlv(kSequence, algorithm);
  const Bytes bitString = Tlv(kBitString, bits);
  content.insert(content.end(), bitString.begin(), bitString.end());
  return Tlv(kSequence, content);
}

bool P256PointOfKeyInfo(std::span<const std::uint8_t> keyInfo, Bytes* point) {
  constexpr std::size_t kPointBytes = 65;
  if (keyInfo.size() <= kPointBytes) return false;
  const auto candidate = keyInfo.last(kPointBytes);
  if (!std::ranges::equal(P256SubjectPublicKeyInfo(candidate), keyInfo)) return false;
  point->assign(candidate.begin(), candidate.end());
  return true;
}

}  // namespace vela::pkcs11
