// ECDSA on the card: over the caller's hash (CKM_ECDSA) or over data hashed
// here, in one part or several.
#include <cstring>

#include "core/minidriver_abi.h"
#include "pkcs11/card_access.h"

namespace vela::pkcs11 {

CK_RV Slot::SignInit(Session& session, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key) {
  if (session.sign) return CKR_OPERATION_ACTIVE;
  const Mechanism* found = FindMechanism(mechanism.mechanism);
  if (found == nullptr || (found->flags & CKF_SIGN) == 0) return CKR_MECHANISM_INVALID;
  if (mechanism.pParameter != nullptr || mechanism.ulParameterLen != 0) return CKR_MECHANISM_PARAM_INVALID;
  Object* object = nullptr;
  const CK_RV rv = LookUp(key, &object);
  if (rv != CKR_OK) return rv;
  if (object->objectClass == CKO_CERTIFICATE) return CKR_KEY_HANDLE_INVALID;
  if (object->objectClass == CKO_SECRET_KEY) return CKR_KEY_TYPE_INCONSISTENT;
  if (!object->canSign) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  session.sign.emplace(*found, key, object->container);
  session.signParts = false;
  return CKR_OK;
}

CK_RV Slot::SignBlock(Session& session, std::span<const std::uint8_t> callerHash, CK_BYTE_PTR signature,
                      CK_ULONG* length) {
  // Asked for the size, or given too little room: the operation goes on.
  if (signature == nullptr) {
    *length = kSignatureBytes;
    return CKR_OK;
  }
  if (*length < kSignatureBytes) {
    *length = kSignatureBytes;
    return CKR_BUFFER_TOO_SMALL;
  }
  SignOperation operation = std::move(*session.sign);
  session.sign.reset();
  operation.Update(callerHash);
  Bytes block = operation.Block(callerHash);
  CARD_SIGNING_INFO info{};
  DWORD result = 0;
  const CK_RV rv = OnCardLoggedIn(
      [&](CARD_DATA* cd) {
        host::HostPtr<BYTE> earlier(info.pbSignedData);  // of a try the card's reset undid
        info = {};
        info.dwVersion = 2;
        info.bContainerIndex = static_cast<BYTE>(operation.container());
        info.dwKeySpec = AT_ECDSA_P256;
        info.pbData = block.data();
        info.cbData = static_cast<DWORD>(block.size());
        return cd->pfnCardSignData(cd, &info);
      },
      &result);
  host::HostPtr<BYTE> owned(info.pbSignedData);
  if (rv != CKR_OK) return rv;
  if (result != 0) return CardResult(result);
  if (owned == nullptr || info.cbSignedData != kSignatureBytes) return CKR_DEVICE_ERROR;
  std::memcpy(signature, owned.get(), kSignatureBytes);
  *length = kSignatureBytes;
  return CKR_OK;
}

CK_RV Slot::Sign(Session& session, std::span<const std::uint8_t> data, CK_BYTE_PTR signature, CK_ULONG* length) {
  if (!session.sign) return CKR_OPERATION_NOT_INITIALIZED;
  if (session.signParts) return CKR_OPERATION_ACTIVE;
  if (!session.sign->hashes() && data.empty()) {
    session.sign.reset();
    return CKR_DATA_LEN_RANGE;
  }
  return SignBlock(session, data, signature, length);
}

CK_RV Slot::SignUpdate(Session& session, std::span<const std::uint8_t> data) {
  if (!session.sign) return CKR_OPERATION_NOT_INITIALIZED;
  // CKM_ECDSA signs a hash the caller made: it has no parts.
  if (!session.sign->hashes()) {
    session.sign.reset();
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  session.sign->Update(data);
  session.signParts = true;
  return CKR_OK;
}

CK_RV Slot::SignFinal(Session& session, CK_BYTE_PTR signature, CK_ULONG* length) {
  if (!session.sign) return CKR_OPERATION_NOT_INITIALIZED;
  if (!session.sign->hashes()) {
    session.sign.reset();
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  return SignBlock(session, {}, signature, length);
}

}  // namespace vela::pkcs11
