#include "pkcs11/secret_keys.h"

namespace vela::pkcs11 {
namespace {

constexpr CK_ATTRIBUTE_TYPE kUsages[] = {CKA_ENCRYPT, CKA_DECRYPT, CKA_SIGN, CKA_VERIFY,
                                         CKA_WRAP,    CKA_UNWRAP,  CKA_DERIVE};

}  // namespace

CK_RV ReadSecretTemplate(std::span<const CK_ATTRIBUTE> pattern, bool readWrite, SecretTemplate* out) {
  SecretTemplate& t = *out;
  for (const CK_ATTRIBUTE& attribute : pattern) {
    CK_ULONG number = 0;
    bool flag = false;
    CK_RV check = CKR_OK;
    switch (attribute.type) {
      case CKA_CLASS:
        check = ReadUlong(attribute, &number);
        if (check == CKR_OK && number != CKO_SECRET_KEY) return CKR_TEMPLATE_INCONSISTENT;
        break;
      case CKA_KEY_TYPE:
        check = ReadUlong(attribute, &t.keyType);
        if (check == CKR_OK && t.keyType != CKK_GENERIC_SECRET && t.keyType != CKK_AES) {
          return CKR_TEMPLATE_INCONSISTENT;
        }
        break;
      case CKA_VALUE_LEN:
        check = ReadUlong(attribute, &number);
        if (check == CKR_OK && number == 0) return CKR_ATTRIBUTE_VALUE_INVALID;
        t.valueLength = number;
        break;
      case CKA_TOKEN:
        check = ReadBool(attribute, &flag);
        if (check == CKR_OK && flag) return readWrite ? CKR_TOKEN_WRITE_PROTECTED : CKR_SESSION_READ_ONLY;
        break;
      case CKA_PRIVATE:
        check = ReadBool(attribute, &t.isPrivate);
        break;
      case CKA_SENSITIVE:
        check = ReadBool(attribute, &t.sensitive);
        break;
      case CKA_EXTRACTABLE:
        check = ReadBool(attribute, &t.extractable);
        break;
      case CKA_ENCRYPT:
      case CKA_DECRYPT:
      case CKA_SIGN:
      case CKA_VERIFY:
      case CKA_WRAP:
      case CKA_UNWRAP:
      case CKA_DERIVE:
      case CKA_MODIFIABLE:
        check = ReadBool(attribute, &flag);
        if (check == CKR_OK) t.given[attribute.type] = BoolValue(flag);
        break;
      case CKA_LABEL:
      case CKA_ID:
        if (attribute.pValue == nullptr && attribute.ulValueLen != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
        t.given[attribute.type] = Bytes(static_cast<const std::uint8_t*>(attribute.pValue),
                                        static_cast<const std::uint8_t*>(attribute.pValue) + attribute.ulValueLen);
        break;
      case CKA_VALUE:
        return CKR_ATTRIBUTE_READ_ONLY;
      default:
        return CKR_ATTRIBUTE_TYPE_INVALID;
    }
    if (check != CKR_OK) return check;
  }
  return CKR_OK;
}

bool LengthFits(CK_KEY_TYPE keyType, std::size_t length) {
  if (keyType == CKK_AES) return length == 16 || length == 24 || length == 32;
  return length > 0;
}

Object SecretKeyObject(const SecretTemplate& pattern, Bytes value, CK_MECHANISM_TYPE madeBy, bool unwrapped) {
  Object key;
  key.objectClass = CKO_SECRET_KEY;
  key.isPrivate = pattern.isPrivate;
  auto& a = key.attributes;
  a = pattern.given;
  a[CKA_CLASS] = UlongValue(CKO_SECRET_KEY);
  a[CKA_KEY_TYPE] = UlongValue(pattern.keyType);
  a[CKA_VALUE_LEN] = UlongValue(value.size());
  a[CKA_TOKEN] = BoolValue(false);
  a[CKA_PRIVATE] = BoolValue(pattern.isPrivate);
  a[CKA_SENSITIVE] = BoolValue(pattern.sensitive);
  a[CKA_EXTRACTABLE] = BoolValue(pattern.extractable);
  a[CKA_ALWAYS_SENSITIVE] = BoolValue(pattern.sensitive && !unwrapped);
  a[CKA_NEVER_EXTRACTABLE] = BoolValue(!pattern.extractable && !unwrapped);
  a[CKA_LOCAL] = BoolValue(false);
  a[CKA_KEY_GEN_MECHANISM] = UlongValue(madeBy);
  a[CKA_MODIFIABLE] = BoolValue(false);
  a.try_emplace(CKA_LABEL);
  a.try_emplace(CKA_ID);
  for (const CK_ATTRIBUTE_TYPE usage : kUsages) a.try_emplace(usage, BoolValue(true));
  a[CKA_VALUE] = std::move(value);
  if (pattern.sensitive || !pattern.extractable) key.sensitive[CKA_VALUE] = true;
  return key;
}

}  // namespace vela::pkcs11
