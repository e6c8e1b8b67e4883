// Key agreement on the card: the card computes the ECDH secret with a
// key-exchange container's key; the secret stays in a slot of the context
// and the host gets only the slot's number.
#include <algorithm>

#include "card/card_commands.h"
#include "card/check_context.h"
#include "core/card_context.h"
#include "core/entry_points.h"
#include "core/log.h"
#include "core/secure_wipe.h"

namespace vela {
namespace {

constexpr DWORD kEccBlobHeaderLength = sizeof(BCRYPT_ECCKEY_BLOB);
// The most the DECIPHER command carries after its two leading bytes.
constexpr DWORD kMaxPointLength = 248;
constexpr DWORD kSecretCapacity = 32;
constexpr BYTE kNoSlot = 0xFF;

bool BlobFitsCommand(const CARD_DH_AGREEMENT_INFO& info) {
  return info.dwPublicKey > kEccBlobHeaderLength && info.dwPublicKey - kEccBlobHeaderLength <= kMaxPointLength;
}

}  // namespace

DWORD VELA_WINAPI CardConstructDHAgreement(PCARD_DATA pCardData, CARD_DH_AGREEMENT_INFO* pAgreementInfo) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  CardContext* context = ContextOf(pCardData);
  if (pAgreementInfo == nullptr || pAgreementInfo->pbPublicKey == nullptr || pAgreementInfo->dwPublicKey == 0 ||
      pAgreementInfo->dwFlags != 0) {
    return SCARD_E_INVALID_PARAMETER;
  }
  // A blob without a point after its header, or with more than the command
  // carries, is refused before the card is asked.
  if (!BlobFitsCommand(*pAgreementInfo)) return SCARD_E_INVALID_PARAMETER;
  if (pAgreementInfo->dwVersion != 0 && pAgreementInfo->dwVersion != 2) return ERROR_REVISION_MISMATCH;
  AcceptArguments();
  if (!context->userAuthenticated) return SCARD_W_SECURITY_VIOLATION;
  const BYTE index = pAgreementInfo->bContainerIndex;
  if (!context->profile.present(index)) return SCARD_E_NO_KEY_CONTAINER;
  const ProfileEntry& entry = context->profile.entries[index];
  if (entry.keyRole != kRoleKeyExchange) return SCARD_E_INVALID_PARAMETER;

  // The header's magic and key length are not examined.
  BYTE secret[kSecretCapacity];
  DWORD secretLength = sizeof(secret);
  const DWORD rc = ComputeSharedSecret(pCardData, entry, pAgreementInfo->pbPublicKey + kEccBlobHeaderLength,
                                       pAgreementInfo->dwPublicKey - kEccBlobHeaderLength, secret, &secretLength);
  pAgreementInfo->bSecretAgreementIndex = kNoSlot;
  if (rc != 0) {
    SecureWipe(secret, sizeof(secret));
    return rc;
  }

  AgreementSlot* const begin = context->agreements;
  AgreementSlot* const end = begin + kAgreementSlots;
  AgreementSlot* slot = std::find_if(begin, end, [](const AgreementSlot& s) { return s.inUse == 0; });
  if (slot == end) {
    SecureWipe(secret, sizeof(secret));
    return SCARD_F_INTERNAL_ERROR;
  }
  slot->inUse = 1;
  slot->secretLength = secretLength;
  std::copy(secret, secret + secretLength, slot->secretBytes);
  SecureWipe(secret, sizeof(secret));
  pAgreementInfo->bSecretAgreementIndex = static_cast<BYTE>(slot - begin);
  return 0;
}

DWORD VELA_WINAPI CardDestroyDHAgreement(PCARD_DATA pCardData, BYTE bSecretAgreementIndex, DWORD dwFlags) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  CardContext* context = ContextOf(pCardData);
  if (bSecretAgreementIndex >= kAgreementSlots || dwFlags != 0) return SCARD_E_INVALID_PARAMETER;
  AgreementSlot& slot = context->agreements[bSecretAgreementIndex];
  if (slot.inUse == 0) return SCARD_E_INVALID_PARAMETER;
  if (!context->userAuthenticated) return SCARD_W_SECURITY_VIOLATION;
  // Nothing reads a free slot's secret; it is not kept either.
  SecureWipe(slot.secretBytes, sizeof(slot.secretBytes));
  slot.secretLength = 0;
  slot.inUse = 0;
  return 0;
}

}  // namespace vela
