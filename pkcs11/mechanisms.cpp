#include "pkcs11/mechanisms.h"

#include <algorithm>

namespace vela::pkcs11 {
namespace {

constexpr CK_FLAGS kEcFlags = CKF_HW | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS;

constexpr Mechanism kMechanisms[] = {
    {CKM_ECDSA, kEcFlags | CKF_SIGN, -1},
    {CKM_ECDSA_SHA1, kEcFlags | CKF_SIGN, kSha1},
    {CKM_ECDSA_SHA224, kEcFlags | CKF_SIGN, kSha224},
    {CKM_ECDSA_SHA256, kEcFlags | CKF_SIGN, kSha256},
    {CKM_ECDSA_SHA384, kEcFlags | CKF_SIGN, kSha384},
    {CKM_ECDSA_SHA512, kEcFlags | CKF_SIGN, kSha512},
    {CKM_ECDH1_DERIVE, kEcFlags | CKF_DERIVE, -1},
    {CKM_ECDH1_COFACTOR_DERIVE, kEcFlags | CKF_DERIVE, -1},
    // Done in the module, not on the card: no CKF_HW.
    {CKM_AES_KEY_WRAP, CKF_UNWRAP, -1, 16, 32},
    {CKM_AES_KEY_WRAP_PAD, CKF_UNWRAP, -1, 16, 32},
};

constexpr std::size_t kPointBytes = 1 + 2 * kKeyBytes;

}  // namespace

std::span<const Mechanism> Mechanisms() { return kMechanisms; }

const Mechanism* FindMechanism(CK_MECHANISM_TYPE type) {
  const auto found = std::ranges::find(kMechanisms, type, &Mechanism::type);
  return found == std::end(kMechanisms) ? nullptr : found;
}

CK_MECHANISM_INFO MechanismInfo(const Mechanism& mechanism) {
  return CK_MECHANISM_INFO{mechanism.minKeySize, mechanism.maxKeySize, mechanism.flags};
}

SignOperation::SignOperation(const Mechanism& mechanism, CK_OBJECT_HANDLE key, int container)
    : mechanism_(mechanism), key_(key), container_(container) {
  if (hashes()) ShaReset(&sha_, mechanism_.shaId);
}

void SignOperation::Update(std::span<const std::uint8_t> data) {
  if (hashes()) ShaInput(&sha_, data.data(), data.size());
}

Bytes SignOperation::Block(std::span<const std::uint8_t> callerHash) {
  Bytes block;
  if (hashes()) {
    block.resize(static_cast<std::size_t>(ShaHashSize(mechanism_.shaId)));
    ShaResult(&sha_, block.data());
  } else {
    block.assign(callerHash.begin(), callerHash.end());
  }
  if (block.size() > kKeyBytes) block.resize(kKeyBytes);
  return block;
}

std::optional<KdfHash> KdfHashFor(CK_ULONG kdf) {
  switch (kdf) {
    case CKD_SHA1_KDF: return KdfHash{u"SHA1", 20};
    case CKD_SHA256_KDF: return KdfHash{u"SHA256", 32};
    case CKD_SHA384_KDF: return KdfHash{u"SHA384", 48};
    case CKD_SHA512_KDF: return KdfHash{u"SHA512", 64};
    default: return std::nullopt;
  }
}

Bytes KdfAppend(std::uint32_t counter, std::span<const std::uint8_t> sharedData) {
  Bytes out(4 + sharedData.size());
  for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(counter >> (24 - 8 * i));
  std::copy(sharedData.begin(), sharedData.end(), out.begin() + 4);
  return out;
}

std::optional<Bytes> PeerPoint(std::span<const std::uint8_t> publicData) {
  if (publicData.size() == kPointBytes + 2 && publicData[0] == 0x04 && publicData[1] == kPointBytes) {
    publicData = publicData.subspan(2);
  }
  if (publicData.size() != kPointBytes || publicData[0] != 0x04) return std::nullopt;
  return Bytes(publicData.begin(), publicData.end());
}

}  // namespace vela::pkcs11
