// The mechanisms of the token: ECDSA over the caller's hash or over data
// hashed here; ECDH1 key derivation (with or without the cofactor, which is 1
// on P-256) through the card's agreement, its KDFs done by the minidriver's
// "HASH" derivation; and the AES key wraps, done here, that unwrap a key
// under a derived one as a mail program receives it.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "crypto/digest.h"
#include "pkcs11/der.h"
#include "pkcs11/pkcs11_api.h"

namespace vela::pkcs11 {

// P-256: the size of a coordinate, of the card's signature r || s.
inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kSignatureBytes = 2 * kKeyBytes;

struct Mechanism {
  CK_MECHANISM_TYPE type;
  CK_FLAGS flags;
  int shaId;  // the hash done here, or -1 (the caller's hash; derivation; wraps)
  // Key sizes as CK_MECHANISM_INFO gives them: bits of the field for the
  // elliptic-curve mechanisms, bytes of the AES key for the wraps.
  CK_ULONG minKeySize = 8 * kKeyBytes;
  CK_ULONG maxKeySize = 8 * kKeyBytes;
};

std::span<const Mechanism> Mechanisms();
const Mechanism* FindMechanism(CK_MECHANISM_TYPE type);
CK_MECHANISM_INFO MechanismInfo(const Mechanism& mechanism);

// A signature in progress: the data hashed so far, or nothing for CKM_ECDSA.
class SignOperation {
 public:
  SignOperation(const Mechanism& mechanism, CK_OBJECT_HANDLE key, int container);
  CK_OBJECT_HANDLE key() const { return key_; }
  int container() const { return container_; }
  bool hashes() const { return mechanism_.shaId >= 0; }
  void Update(std::span<const std::uint8_t> data);
  // What the card signs: the digest, or the caller's hash cut to the key
  // size as ECDSA itself does (so a longer hash gives the same signature).
  Bytes Block(std::span<const std::uint8_t> callerHash);

 private:
  Mechanism mechanism_;
  CK_OBJECT_HANDLE key_;
  int container_;
  ShaFamilyContext sha_{};
};

// The X9.63 KDF of the ECDH1 derivations done with the minidriver's "HASH"
// derivation: hash name and digest size, or nothing for a KDF it cannot do
// (SHA-224, which the derivation does not offer; CKD_NULL is no KDF: its
// secret comes from the card's command itself).
struct KdfHash {
  std::u16string name;
  std::size_t size;
};
std::optional<KdfHash> KdfHashFor(CK_ULONG kdf);

// The data appended to the secret for output block `counter` (from 1):
// the counter big-endian in four bytes, then the shared data.
Bytes KdfAppend(std::uint32_t counter, std::span<const std::uint8_t> sharedData);

// The other party's point from CK_ECDH1_DERIVE_PARAMS: 04 X Y as it is or
// wrapped in a DER OCTET STRING; nothing for any other form.
std::optional<Bytes> PeerPoint(std::span<const std::uint8_t> publicData);

}  // namespace vela::pkcs11
