// CardSignData: the card signs the host's block with a container's ECDSA key.
#include <algorithm>
#include <cstring>

#include "card/card_commands.h"
#include "card/check_context.h"
#include "core/card_context.h"
#include "core/entry_points.h"
#include "core/host_services.h"
#include "core/log.h"

namespace vela {

namespace {

constexpr DWORD kLatestSigningInfoVersion = 2;
constexpr DWORD kRefusedSigningFlags = 0x9FFFFFF0;

// The block the card is to sign, held for the call: the host's padded block
// or a copy of its data. Either way it goes back through the host's free.
class SigningBlock {
 public:
  explicit SigningBlock(const CARD_DATA* cardData) : cardData_(cardData) {}
  ~SigningBlock() { HostFree(cardData_, bytes_); }
  SigningBlock(const SigningBlock&) = delete;
  SigningBlock& operator=(const SigningBlock&) = delete;

  // The host pads (and allocates); the padded block is reversed end for end
  // for the card.
  DWORD Pad(CARD_SIGNING_INFO* info, DWORD maxWidth) {
    BYTE* padded = nullptr;
    DWORD paddedLength = 0;
    if (const DWORD rc = cardData_->pfnCspPadData(info, maxWidth, &paddedLength, &padded); rc != 0) return rc;
    bytes_ = padded;
    length_ = paddedLength;
    if (bytes_ == nullptr) return SCARD_E_INVALID_PARAMETER;
    std::reverse(bytes_, bytes_ + length_);
    return 0;
  }

  DWORD Copy(const BYTE* data, DWORD length) {
    bytes_ = static_cast<BYTE*>(HostAlloc(cardData_, length));
    if (bytes_ == nullptr) return SCARD_E_NO_MEMORY;
    std::memcpy(bytes_, data, length);
    length_ = length;
    return 0;
  }

  const BYTE* bytes() const { return bytes_; }
  DWORD length() const { return length_; }

 private:
  const CARD_DATA* cardData_;
  BYTE* bytes_ = nullptr;
  DWORD length_ = 0;
};

bool HashAlgorithmAccepted(ALG_ID algorithm) {
  return algorithm == 0 || (algorithm >= CALG_MD5 && algorithm <= CALG_SHA_256);
}

// The checks against the card profile; 0 when the entry can sign.
DWORD CheckSigningEntry(const CardProfile& profile, const CARD_SIGNING_INFO& info) {
  if (info.bContainerIndex >= kMaxContainers) return SCARD_E_NO_KEY_CONTAINER;
  const ProfileEntry& entry = profile.entries[info.bContainerIndex];
  const bool present = profile.present(info.bContainerIndex);
  if (info.dwKeySpec != entry.keySpec) return present ? SCARD_E_INVALID_PARAMETER : SCARD_E_NO_KEY_CONTAINER;
  if (!present || entry.keyRole != kRoleSignature) return SCARD_E_NO_KEY_CONTAINER;
  return 0;
}

}  // namespace

DWORD VELA_WINAPI CardSignData(PCARD_DATA pCardData, CARD_SIGNING_INFO* pInfo) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  if (pInfo == nullptr || pInfo->pbData == nullptr || pCardData->pfnCspAlloc == nullptr ||
      pCardData->pfnCspFree == nullptr || pCardData->pfnCspPadData == nullptr) {
    return SCARD_E_INVALID_PARAMETER;
  }
  if (pInfo->dwVersion > kLatestSigningInfoVersion) return ERROR_REVISION_MISMATCH;
  const CardContext& context = *ContextOf(pCardData);
  if (!context.userAuthenticated) return SCARD_W_SECURITY_VIOLATION;
  if ((pInfo->dwSigningFlags & kRefusedSigningFlags) != 0) return SCARD_E_INVALID_PARAMETER;
  if (!HashAlgorithmAccepted(pInfo->aiHashAlg)) return SCARD_E_INVALID_PARAMETER;
  AcceptArguments();
  if (const DWORD rc = CheckSigningEntry(context.profile, *pInfo); rc != 0) return rc;

  const ProfileEntry& entry = context.profile.entries[pInfo->bContainerIndex];
  const DWORD signatureLength = 2u * entry.keyBytes;
  pInfo->cbSignedData = signatureLength;
  if ((pInfo->dwSigningFlags & CARD_BUFFER_SIZE_ONLY) != 0) return 0;

  SigningBlock block(pCardData);
  if (pInfo->aiHashAlg != 0 || pInfo->dwSigningFlags != 0) {
    if (const DWORD rc = block.Pad(pInfo, entry.keyBytes); rc != 0) return rc;
  } else {
    // The card takes no more than a signature's length; a longer input is
    // refused before the host is asked for room to copy it.
    if (pInfo->cbData > signatureLength) return SCARD_E_INVALID_PARAMETER;
    if (const DWORD rc = block.Copy(pInfo->pbData, pInfo->cbData); rc != 0) return rc;
  }

  auto* signature = static_cast<BYTE*>(HostAlloc(pCardData, signatureLength));
  if (signature == nullptr) {
    pInfo->pbSignedData = nullptr;
    return SCARD_E_NO_MEMORY;
  }
  pInfo->pbSignedData = signature;
  const DWORD rc =
      ComputeSignature(pCardData, entry, block.bytes(), block.length(), signature, &pInfo->cbSignedData);
  if (rc != 0) {
    // A failed call hands nothing out: a host that does not expect a buffer
    // after a failure would never free it.
    HostFree(pCardData, signature);
    pInfo->pbSignedData = nullptr;
  }
  return rc;
}

}  // namespace vela
