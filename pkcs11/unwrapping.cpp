// C_UnwrapKey: a key wrapped with AES key wrap under a secret key of the
// session (one the card's agreement derived, as a mail program's key comes
// in a message) becomes a secret key of the session, which the application
// may use or move to a token of its own. Done in the module; the card is
// not asked.
#include "core/secure_wipe.h"
#include "pkcs11/key_wrap.h"
#include "pkcs11/secret_keys.h"
#include "pkcs11/slot.h"

namespace vela::pkcs11 {

CK_RV Slot::Unwrap(Session& session, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE unwrappingKey,
                   std::span<const std::uint8_t> wrapped, std::span<const CK_ATTRIBUTE> pattern,
                   CK_OBJECT_HANDLE* key) {
  const std::optional<KeyWrap> kind = KeyWrapOf(mechanism.mechanism);
  if (!kind) return CKR_MECHANISM_INVALID;
  // No parameter: the RFC's initial value; else the caller's, of its size.
  const bool defaultIv = mechanism.pParameter == nullptr && mechanism.ulParameterLen == 0;
  if (!defaultIv && (mechanism.pParameter == nullptr || mechanism.ulParameterLen != KeyWrapIvBytes(*kind))) {
    return CKR_MECHANISM_PARAM_INVALID;
  }
  const std::span<const std::uint8_t> iv(static_cast<const std::uint8_t*>(mechanism.pParameter),
                                         defaultIv ? 0 : mechanism.ulParameterLen);

  Object* kek = nullptr;
  const CK_RV found = LookUp(unwrappingKey, &kek);
  if (found == CKR_KEY_HANDLE_INVALID) return CKR_UNWRAPPING_KEY_HANDLE_INVALID;
  if (found != CKR_OK) return found;
  if (kek->objectClass != CKO_SECRET_KEY || kek->attributes.at(CKA_KEY_TYPE) != UlongValue(CKK_AES)) {
    return CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT;
  }
  if (kek->attributes.at(CKA_UNWRAP) != BoolValue(true)) return CKR_KEY_FUNCTION_NOT_PERMITTED;

  SecretTemplate wanted;
  const CK_RV read = ReadSecretTemplate(pattern, session.readWrite, &wanted);
  if (read != CKR_OK) return read;
  if (wanted.keyType == CK_UNAVAILABLE_INFORMATION) return CKR_TEMPLATE_INCOMPLETE;

  Bytes value;
  CK_RV rv = AesKeyUnwrap(*kind, kek->attributes.at(CKA_VALUE), iv, wrapped, &value);
  if (rv == CKR_OK && wanted.valueLength && *wanted.valueLength != value.size()) rv = CKR_TEMPLATE_INCONSISTENT;
  if (rv == CKR_OK && !LengthFits(wanted.keyType, value.size())) rv = CKR_WRAPPED_KEY_INVALID;
  if (rv != CKR_OK) {
    if (!value.empty()) SecureWipe(value.data(), value.size());
    return rv;
  }
  Object unwrapped = SecretKeyObject(wanted, std::move(value), CK_UNAVAILABLE_INFORMATION, true);
  unwrapped.owner = session.handle;
  unwrapped.handle = token_->nextSessionObject++;
  *key = unwrapped.handle;
  token_->sessionObjects.push_back(std::move(unwrapped));
  return CKR_OK;
}

}  // namespace vela::pkcs11
