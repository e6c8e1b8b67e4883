// The secret keys a session makes: C_DeriveKey's from an agreement with the
// card, C_UnwrapKey's unwrapped under one of those. Each is made from the
// caller's template; it is never a token object (the card is read-only).
#pragma once

#include <optional>
#include <span>

#include "pkcs11/objects.h"

namespace vela::pkcs11 {

// What a template asks of a new secret key.
struct SecretTemplate {
  CK_KEY_TYPE keyType = CK_UNAVAILABLE_INFORMATION;
  std::optional<CK_ULONG> valueLength;
  bool sensitive = false;
  bool extractable = true;
  bool isPrivate = false;
  // The usages, label and id as the template gave them.
  std::map<CK_ATTRIBUTE_TYPE, Bytes> given;
};

// Reads a template: CKR_OK, or the code of the first entry it cannot take
// (a class or key type other than a generic secret or AES key, a token
// object, a value, an attribute no secret key has).
CK_RV ReadSecretTemplate(std::span<const CK_ATTRIBUTE> pattern, bool readWrite, SecretTemplate* out);

// Whether a value of `length` bytes makes a key of the type (AES: 16, 24 or
// 32; a generic secret: any but none).
bool LengthFits(CK_KEY_TYPE keyType, std::size_t length);

// The key's object, without its handle and owner. `madeBy` is its
// CKA_KEY_GEN_MECHANISM; a derived key is as sensitive and as unextractable
// as its template made it from the start, an unwrapped one was not (its
// value came from outside). A usage the template left out is allowed, as
// programs expect of a key they made for one purpose and use for its
// neighbour (a key derived "to wrap" that unwraps).
Object SecretKeyObject(const SecretTemplate& pattern, Bytes value, CK_MECHANISM_TYPE madeBy, bool unwrapped);

}  // namespace vela::pkcs11
