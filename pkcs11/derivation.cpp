// CKM_ECDH1_DERIVE: the card agrees a secret with the other party's key, the
// minidriver's "HASH" derivation turns it into the X9.63 KDF's blocks, and
// the key becomes a secret-key object of the session. The raw secret never
// leaves the minidriver.
#include <algorithm>
#include <cstring>

#include "core/minidriver_abi.h"
#include "core/secure_wipe.h"
#include "pkcs11/card_access.h"

namespace vela::pkcs11 {
namespace {

constexpr std::size_t kBlobHeader = sizeof(BCRYPT_ECCKEY_BLOB);
// The minidriver's derivation takes at most 512 bytes of appended data; the
// KDF's counter takes four of them.
constexpr std::size_t kMaxSharedData = 512 - 4;
constexpr CK_ULONG kMaxDerivedBytes = 1024;

}  // namespace

CK_RV Slot::DeriveBytes(int container, const Bytes& point, const KdfHash& hash, std::span<const std::uint8_t> shared,
                        std::size_t length, Bytes* out) {
  // The peer's key as a key-agreement blob: "ECK1", the key size, X, Y.
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDH_PUBLIC_P256_MAGIC, kKeyBytes};
  // One block of its final size (an insert after the header puzzles GCC's
  // bounds warning).
  Bytes blob(kBlobHeader + point.size() - 1);
  std::memcpy(blob.data(), &header, kBlobHeader);
  std::memcpy(blob.data() + kBlobHeader, point.data() + 1, point.size() - 1);
  // Room for the whole key at once: a vector that grew would free the
  // blocks made so far unwiped.
  out->reserve(length);
  DWORD result = 0;
  const CK_RV rv = OnCardLoggedIn(
      [&](CARD_DATA* cd) {
        // A try the card's reset undid starts over.
        if (!out->empty()) SecureWipe(out->data(), out->size());
        out->clear();
        CARD_DH_AGREEMENT_INFO agreement{};
        agreement.dwVersion = 2;
        agreement.bContainerIndex = static_cast<BYTE>(container);
        agreement.dwPublicKey = static_cast<DWORD>(blob.size());
        agreement.pbPublicKey = blob.data();
        DWORD rc = cd->pfnCardConstructDHAgreement(cd, &agreement);
        if (rc != 0) return rc;
        std::u16string hashName = hash.name;
        // X9.63: block i is the hash of the secret, the counter i and the shared data.
        for (std::uint32_t counter = 1; out->size() < length; ++counter) {
          Bytes append = KdfAppend(counter, shared);
          BCryptBuffer buffers[] = {
              {static_cast<ULONG>((hashName.size() + 1) * sizeof(char16_t)), KDF_HASH_ALGORITHM, hashName.data()},
              {static_cast<ULONG>(append.size()), KDF_SECRET_APPEND, append.data()},
          };
          BCryptBufferDesc parameters{0, 2, buffers};
          BYTE block[kShaMaxHashSize];
          CARD_DERIVE_KEY derive{};
          derive.dwVersion = 2;
          derive.pwszKDF = u"HASH";
          derive.bSecretAgreementIndex = agreement.bSecretAgreementIndex;
          derive.pParameterList = &parameters;
          derive.pbDerivedKey = block;
          derive.cbDerivedKey = sizeof(block);
          rc = cd->pfnCardDeriveKey(cd, &derive);
          if (rc == 0 && derive.cbDerivedKey != hash.size) rc = SCARD_F_INTERNAL_ERROR;
          if (rc == 0) out->insert(out->end(), block, block + std::min(hash.size, length - out->size()));
          SecureWipe(block, sizeof(block));
          if (rc != 0) break;
        }
        const DWORD destroyed = cd->pfnCardDestroyDHAgreement(cd, agreement.bSecretAgreementIndex, 0);
        return rc != 0 ? rc : destroyed;
      },
      &result);
  if (rv == CKR_OK && result == 0) return CKR_OK;
  if (!out->empty()) SecureWipe(out->data(), out->size());
  out->clear();
  return rv != CKR_OK ? rv : CardResult(result);
}

CK_RV Slot::Derive(Session& session, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE base,
                   std::span<const CK_ATTRIBUTE> pattern, CK_OBJECT_HANDLE* key) {
  if (mechanism.mechanism != CKM_ECDH1_DERIVE) return CKR_MECHANISM_INVALID;
  if (mechanism.pParameter == nullptr || mechanism.ulParameterLen != sizeof(CK_ECDH1_DERIVE_PARAMS)) {
    return CKR_MECHANISM_PARAM_INVALID;
  }
  const auto& params = *static_cast<const CK_ECDH1_DERIVE_PARAMS*>(mechanism.pParameter);
  // CKD_NULL would hand out the raw secret, which the minidriver keeps.
  const std::optional<KdfHash> hash = KdfHashFor(params.kdf);
  if (!hash) return CKR_MECHANISM_PARAM_INVALID;
  if ((params.ulSharedDataLen != 0 && params.pSharedData == nullptr) || params.ulSharedDataLen > kMaxSharedData ||
      params.pPublicData == nullptr) {
    return CKR_MECHANISM_PARAM_INVALID;
  }
  const std::optional<Bytes> point = PeerPoint({params.pPublicData, params.ulPublicDataLen});
  if (!point) return CKR_MECHANISM_PARAM_INVALID;

  Object* baseKey = nullptr;
  const CK_RV found = LookUp(base, &baseKey);
  if (found != CKR_OK) return found;
  if (baseKey->objectClass == CKO_CERTIFICATE) return CKR_KEY_HANDLE_INVALID;
  if (baseKey->objectClass != CKO_PRIVATE_KEY) return CKR_KEY_TYPE_INCONSISTENT;
  if (!baseKey->canDerive) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  const int container = baseKey->container;

  // The new key's template: a secret key of the session, with its length.
  CK_ULONG keyType = CK_UNAVAILABLE_INFORMATION;
  CK_ULONG valueLength = 0;
  bool sensitive = false, extractable = true, isPrivate = false;
  Object derived;
  derived.objectClass = CKO_SECRET_KEY;
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
        check = ReadUlong(attribute, &keyType);
        if (check == CKR_OK && keyType != CKK_GENERIC_SECRET && keyType != CKK_AES) return CKR_TEMPLATE_INCONSISTENT;
        break;
      case CKA_VALUE_LEN:
        check = ReadUlong(attribute, &valueLength);
        break;
      case CKA_TOKEN:
        check = ReadBool(attribute, &flag);
        if (check == CKR_OK && flag) return session.readWrite ? CKR_TOKEN_WRITE_PROTECTED : CKR_SESSION_READ_ONLY;
        break;
      case CKA_PRIVATE:
        check = ReadBool(attribute, &isPrivate);
        break;
      case CKA_SENSITIVE:
        check = ReadBool(attribute, &sensitive);
        break;
      case CKA_EXTRACTABLE:
        check = ReadBool(attribute, &extractable);
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
        if (check == CKR_OK) derived.attributes[attribute.type] = BoolValue(flag);
        break;
      case CKA_LABEL:
      case CKA_ID:
        if (attribute.pValue == nullptr && attribute.ulValueLen != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
        derived.attributes[attribute.type] = Bytes(static_cast<const std::uint8_t*>(attribute.pValue),
                                                   static_cast<const std::uint8_t*>(attribute.pValue) +
                                                       attribute.ulValueLen);
        break;
      case CKA_VALUE:
        return CKR_ATTRIBUTE_READ_ONLY;
      default:
        return CKR_ATTRIBUTE_TYPE_INVALID;
    }
    if (check != CKR_OK) return check;
  }
  if (keyType == CK_UNAVAILABLE_INFORMATION || valueLength == 0) return CKR_TEMPLATE_INCOMPLETE;
  if (valueLength > kMaxDerivedBytes ||
      (keyType == CKK_AES && valueLength != 16 && valueLength != 24 && valueLength != 32)) {
    return CKR_ATTRIBUTE_VALUE_INVALID;
  }

  const CK_SESSION_HANDLE owner = session.handle;
  Bytes value;
  const CK_RV rv = DeriveBytes(container, *point, *hash, {params.pSharedData, params.ulSharedDataLen}, valueLength,
                               &value);
  if (rv != CKR_OK) return rv;

  derived.isPrivate = isPrivate;
  derived.owner = owner;
  derived.handle = token_->nextSessionObject++;
  auto& a = derived.attributes;
  a[CKA_CLASS] = UlongValue(CKO_SECRET_KEY);
  a[CKA_KEY_TYPE] = UlongValue(keyType);
  a[CKA_VALUE_LEN] = UlongValue(valueLength);
  a[CKA_TOKEN] = BoolValue(false);
  a[CKA_PRIVATE] = BoolValue(isPrivate);
  a[CKA_SENSITIVE] = BoolValue(sensitive);
  a[CKA_EXTRACTABLE] = BoolValue(extractable);
  a[CKA_ALWAYS_SENSITIVE] = BoolValue(sensitive);
  a[CKA_NEVER_EXTRACTABLE] = BoolValue(!extractable);
  a[CKA_LOCAL] = BoolValue(false);
  a[CKA_KEY_GEN_MECHANISM] = UlongValue(CKM_ECDH1_DERIVE);
  a[CKA_MODIFIABLE] = BoolValue(false);
  a.try_emplace(CKA_LABEL);
  a.try_emplace(CKA_ID);
  for (const CK_ATTRIBUTE_TYPE usage : {CKA_ENCRYPT, CKA_DECRYPT, CKA_SIGN, CKA_VERIFY, CKA_WRAP, CKA_UNWRAP,
                                        CKA_DERIVE}) {
    a.try_emplace(usage, BoolValue(false));
  }
  a[CKA_VALUE] = std::move(value);
  if (sensitive || !extractable) derived.sensitive[CKA_VALUE] = true;
  *key = derived.handle;
  token_->sessionObjects.push_back(std::move(derived));
  return CKR_OK;
}

}  // namespace vela::pkcs11
