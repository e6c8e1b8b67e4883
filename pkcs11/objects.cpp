#include "pkcs11/objects.h"

#include <cstdio>
#include <cstring>

#include "crypto/digest.h"

namespace vela::pkcs11 {
namespace {

const Bytes kEmpty;
// Values of the v2.40 certificate attributes p11-kit's header leaves out.
constexpr CK_ULONG kCategoryTokenUser = 1;
constexpr CK_ULONG kSecurityDomainUnspecified = 0;

void Set(Object& object, CK_ATTRIBUTE_TYPE type, Bytes value) { object.attributes[type] = std::move(value); }

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// What every object of the card has: it is the card's, fixed, and visible
// to all unless private.
void Common(Object& object, CK_OBJECT_CLASS objectClass, bool isPrivate, const std::string& label, int container) {
  object.objectClass = objectClass;
  object.isPrivate = isPrivate;
  Set(object, CKA_CLASS, UlongValue(objectClass));
  Set(object, CKA_TOKEN, BoolValue(true));
  Set(object, CKA_PRIVATE, BoolValue(isPrivate));
  Set(object, CKA_MODIFIABLE, BoolValue(false));
  Set(object, CKA_COPYABLE, BoolValue(false));
  Set(object, CKA_DESTROYABLE, BoolValue(false));
  Set(object, CKA_LABEL, Text(label));
  Set(object, CKA_ID, Bytes{static_cast<std::uint8_t>(container)});
}

void KeyCommon(Object& object, const ContainerData& container, const Bytes& subject) {
  object.container = container.index;
  Set(object, CKA_KEY_TYPE, UlongValue(CKK_EC));
  Set(object, CKA_START_DATE, kEmpty);
  Set(object, CKA_END_DATE, kEmpty);
  Set(object, CKA_LOCAL, BoolValue(false));
  Set(object, CKA_KEY_GEN_MECHANISM, UlongValue(CK_UNAVAILABLE_INFORMATION));
  Set(object, CKA_SUBJECT, subject);
  Set(object, CKA_EC_PARAMS, P256Parameters());
  Set(object, CKA_EC_POINT, EcPointOctetString(container.point));
  Set(object, CKA_PUBLIC_KEY_INFO, P256SubjectPublicKeyInfo(container.point));
}

Bytes Mechanisms(std::initializer_list<CK_MECHANISM_TYPE> types) {
  Bytes out;
  for (const CK_MECHANISM_TYPE type : types) {
    const Bytes one = UlongValue(type);
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

}  // namespace

Bytes UlongValue(CK_ULONG value) {
  Bytes out(sizeof(CK_ULONG));
  std::memcpy(out.data(), &value, sizeof(value));
  return out;
}

Bytes BoolValue(bool value) { return Bytes{static_cast<std::uint8_t>(value ? CK_TRUE : CK_FALSE)}; }

std::vector<Object> ContainerObjects(const ContainerData& container) {
  CertificateFields certificate;
  const bool hasCertificate = !container.certificateFile.empty() &&
                              ParseCertificate(container.certificateFile, &certificate);
  char fallback[32];
  std::snprintf(fallback, sizeof(fallback), "VELA container %d", container.index);
  const std::string label =
      hasCertificate && !certificate.commonName.empty() ? certificate.commonName : std::string(fallback);
  std::vector<Object> objects;

  if (hasCertificate) {
    Object& cert = objects.emplace_back();
    Common(cert, CKO_CERTIFICATE, false, label, container.index);
    Set(cert, CKA_CERTIFICATE_TYPE, UlongValue(CKC_X_509));
    Set(cert, CKA_TRUSTED, BoolValue(false));
    Set(cert, CKA_CERTIFICATE_CATEGORY, UlongValue(kCategoryTokenUser));
    std::uint8_t digest[kShaMaxHashSize];
    ShaHash(kSha1, certificate.certificate.data(), certificate.certificate.size(), digest);
    Set(cert, CKA_CHECK_VALUE, Bytes(digest, digest + 3));
    Set(cert, CKA_START_DATE, kEmpty);
    Set(cert, CKA_END_DATE, kEmpty);
    Set(cert, CKA_SUBJECT, certificate.subject);
    Set(cert, CKA_ISSUER, certificate.issuer);
    Set(cert, CKA_SERIAL_NUMBER, certificate.serialNumber);
    Set(cert, CKA_VALUE, certificate.certificate);
    Set(cert, CKA_URL, kEmpty);
    Set(cert, CKA_HASH_OF_SUBJECT_PUBLIC_KEY, kEmpty);
    Set(cert, CKA_HASH_OF_ISSUER_PUBLIC_KEY, kEmpty);
    Set(cert, CKA_JAVA_MIDP_SECURITY_DOMAIN, UlongValue(kSecurityDomainUnspecified));
    Set(cert, CKA_PUBLIC_KEY_INFO, certificate.subjectPublicKeyInfo);
  }
  const Bytes subject = hasCertificate ? certificate.subject : Bytes();

  Object& pub = objects.emplace_back();
  Common(pub, CKO_PUBLIC_KEY, false, label, container.index);
  KeyCommon(pub, container, subject);
  Set(pub, CKA_DERIVE, BoolValue(false));
  Set(pub, CKA_ENCRYPT, BoolValue(false));
  Set(pub, CKA_VERIFY, BoolValue(container.signature));
  Set(pub, CKA_VERIFY_RECOVER, BoolValue(false));
  Set(pub, CKA_WRAP, BoolValue(false));
  Set(pub, CKA_TRUSTED, BoolValue(false));

  // The private key stays on the card: it is sensitive and never leaves it.
  Object& key = objects.emplace_back();
  Common(key, CKO_PRIVATE_KEY, true, label, container.index);
  KeyCommon(key, container, subject);
  key.canSign = container.signature;
  key.canDerive = !container.signature;
  Set(key, CKA_DERIVE, BoolValue(key.canDerive));
  Set(key, CKA_ALLOWED_MECHANISMS,
      container.signature ? Mechanisms({CKM_ECDSA, CKM_ECDSA_SHA1, CKM_ECDSA_SHA224, CKM_ECDSA_SHA256,
                                        CKM_ECDSA_SHA384, CKM_ECDSA_SHA512})
                          : Mechanisms({CKM_ECDH1_DERIVE, CKM_ECDH1_COFACTOR_DERIVE}));
  Set(key, CKA_SENSITIVE, BoolValue(true));
  Set(key, CKA_DECRYPT, BoolValue(false));
  Set(key, CKA_SIGN, BoolValue(container.signature));
  Set(key, CKA_SIGN_RECOVER, BoolValue(false));
  Set(key, CKA_UNWRAP, BoolValue(false));
  Set(key, CKA_EXTRACTABLE, BoolValue(false));
  Set(key, CKA_ALWAYS_SENSITIVE, BoolValue(true));
  Set(key, CKA_NEVER_EXTRACTABLE, BoolValue(true));
  Set(key, CKA_WRAP_WITH_TRUSTED, BoolValue(false));
  Set(key, CKA_ALWAYS_AUTHENTICATE, BoolValue(false));
  key.sensitive[CKA_VALUE] = true;
  return objects;
}

CK_RV GetAttributes(const Object& object, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  CK_RV rv = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_ATTRIBUTE& attribute = attributes[i];
    if (object.sensitive.count(attribute.type) != 0) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_ATTRIBUTE_SENSITIVE;
      continue;
    }
    const auto found = object.attributes.find(attribute.type);
    if (found == object.attributes.end()) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_ATTRIBUTE_TYPE_INVALID;
      continue;
    }
    const Bytes& value = found->second;
    if (attribute.pValue == nullptr) {
      attribute.ulValueLen = value.size();
    } else if (attribute.ulValueLen >= value.size()) {
      if (!value.empty()) std::memcpy(attribute.pValue, value.data(), value.size());
      attribute.ulValueLen = value.size();
    } else {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_BUFFER_TOO_SMALL;
    }
  }
  return rv;
}

bool Matches(const Object& object, std::span<const CK_ATTRIBUTE> pattern) {
  for (const CK_ATTRIBUTE& wanted : pattern) {
    if (object.sensitive.count(wanted.type) != 0) return false;
    const auto found = object.attributes.find(wanted.type);
    if (found == object.attributes.end() || found->second.size() != wanted.ulValueLen) return false;
    if (wanted.ulValueLen != 0 && std::memcmp(found->second.data(), wanted.pValue, wanted.ulValueLen) != 0) {
      return false;
    }
  }
  return true;
}

CK_RV ReadUlong(const CK_ATTRIBUTE& attribute, CK_ULONG* value) {
  if (attribute.pValue == nullptr || attribute.ulValueLen != sizeof(CK_ULONG)) return CKR_ATTRIBUTE_VALUE_INVALID;
  std::memcpy(value, attribute.pValue, sizeof(CK_ULONG));
  return CKR_OK;
}

CK_RV ReadBool(const CK_ATTRIBUTE& attribute, bool* value) {
  if (attribute.pValue == nullptr || attribute.ulValueLen != sizeof(CK_BBOOL)) return CKR_ATTRIBUTE_VALUE_INVALID;
  *value = *static_cast<const CK_BBOOL*>(attribute.pValue) != CK_FALSE;
  return CKR_OK;
}

}  // namespace vela::pkcs11
