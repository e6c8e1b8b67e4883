// The ECDH1 derivations: the card agrees a secret with the other party's
// key and the key becomes a secret-key object of the session. With a KDF the
// minidriver agrees it and its "HASH" derivation makes the X9.63 KDF's
// blocks, the secret staying inside the minidriver. With CKD_NULL the
// application asks for the secret itself, which the function table does not
// give: the module sends the card layer's agreement command on the token's
// connection, under the login's verified PIN.
#include <algorithm>
#include <cstring>

#include "card/card_commands.h"
#include "card/profile_table.h"
#include "core/minidriver_abi.h"
#include "core/secure_wipe.h"
#include "pkcs11/card_access.h"
#include "pkcs11/secret_keys.h"

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

CK_RV Slot::SharedSecret(int container, const Bytes& point, Bytes* out) {
  // The key the card uses is the profile's for the container; the
  // minidriver shows no key-agreement container outside it.
  if (container < 0 || static_cast<std::size_t>(container) >= kProfileTable.size() ||
      kProfileTable[static_cast<std::size_t>(container)].keyRole != kRoleKeyExchange) {
    return CKR_KEY_FUNCTION_NOT_PERMITTED;
  }
  const ProfileEntry& entry = kProfileTable[static_cast<std::size_t>(container)];
  BYTE secret[kKeyBytes];
  DWORD length = 0;
  DWORD result = 0;
  const CK_RV rv = OnCardLoggedIn(
      [&](CARD_DATA* cd) {
        // The card layer's own record: this token's connection, and the
        // trace settings the minidriver reads.
        CARD_DATA commands{};
        commands.hSCardCtx = cd->hSCardCtx;
        commands.hScard = cd->hScard;
        commands.pvVendorSpecific = &token_->commandSettings;
        length = sizeof(secret);
        return ComputeSharedSecret(&commands, entry, point.data() + 1, static_cast<DWORD>(point.size() - 1), secret,
                                   &length);
      },
      &result);
  if (rv == CKR_OK && result == 0 && length != kKeyBytes) result = SCARD_F_INTERNAL_ERROR;
  if (rv == CKR_OK && result == 0) out->assign(secret, secret + length);
  SecureWipe(secret, sizeof(secret));
  return rv != CKR_OK ? rv : CardResult(result);
}

CK_RV Slot::Derive(Session& session, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE base,
                   std::span<const CK_ATTRIBUTE> pattern, CK_OBJECT_HANDLE* key) {
  // The cofactor of P-256 is 1: both agree the same secret.
  if (mechanism.mechanism != CKM_ECDH1_DERIVE && mechanism.mechanism != CKM_ECDH1_COFACTOR_DERIVE) {
    return CKR_MECHANISM_INVALID;
  }
  if (mechanism.pParameter == nullptr || mechanism.ulParameterLen != sizeof(CK_ECDH1_DERIVE_PARAMS)) {
    return CKR_MECHANISM_PARAM_INVALID;
  }
  const auto& params = *static_cast<const CK_ECDH1_DERIVE_PARAMS*>(mechanism.pParameter);
  // CKD_NULL: the secret itself, which takes no shared data.
  const bool raw = params.kdf == CKD_NULL;
  const std::optional<KdfHash> hash = KdfHashFor(params.kdf);
  if (!raw && !hash) return CKR_MECHANISM_PARAM_INVALID;
  if ((params.ulSharedDataLen != 0 && (raw || params.pSharedData == nullptr)) ||
      params.ulSharedDataLen > kMaxSharedData || params.pPublicData == nullptr) {
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

  SecretTemplate wanted;
  const CK_RV read = ReadSecretTemplate(pattern, session.readWrite, &wanted);
  if (read != CKR_OK) return read;
  if (wanted.keyType == CK_UNAVAILABLE_INFORMATION) return CKR_TEMPLATE_INCOMPLETE;
  // Without a length the key takes the whole secret, or one block of the
  // KDF's hash, where that length makes a key of its type.
  const std::size_t natural = raw ? kKeyBytes : hash->size;
  if (!wanted.valueLength && !LengthFits(wanted.keyType, natural)) return CKR_TEMPLATE_INCOMPLETE;
  const std::size_t length = wanted.valueLength.value_or(natural);
  if (length > (raw ? kKeyBytes : kMaxDerivedBytes) || !LengthFits(wanted.keyType, length)) {
    return CKR_ATTRIBUTE_VALUE_INVALID;
  }

  const CK_SESSION_HANDLE owner = session.handle;
  Bytes value;
  CK_RV rv = CKR_OK;
  if (raw) {
    // A shorter key keeps the secret's last bytes: the truncation of an
    // agreed value removes bytes from its leading end.
    Bytes secret;
    rv = SharedSecret(container, *point, &secret);
    if (rv == CKR_OK) value.assign(secret.end() - static_cast<std::ptrdiff_t>(length), secret.end());
    if (!secret.empty()) SecureWipe(secret.data(), secret.size());
  } else {
    rv = DeriveBytes(container, *point, *hash, {params.pSharedData, params.ulSharedDataLen}, length, &value);
  }
  if (rv != CKR_OK) return rv;

  Object derived = SecretKeyObject(wanted, std::move(value), mechanism.mechanism, false);
  derived.owner = owner;
  derived.handle = token_->nextSessionObject++;
  *key = derived.handle;
  token_->sessionObjects.push_back(std::move(derived));
  return CKR_OK;
}

}  // namespace vela::pkcs11
