// The AES key wraps a mail program's key comes in: RFC 3394 (CMS's
// id-aes*-wrap) and RFC 5649, its form with padding. Undone with OpenSSL's
// libcrypto; nothing here touches the card.
#pragma once

#include <optional>
#include <span>

#include "pkcs11/der.h"
#include "pkcs11/pkcs11_api.h"

namespace vela::pkcs11 {

enum class KeyWrap { kRfc3394, kRfc5649 };

// The wrap of CKM_AES_KEY_WRAP and CKM_AES_KEY_WRAP_PAD, or nothing.
std::optional<KeyWrap> KeyWrapOf(CK_MECHANISM_TYPE type);
// The initial value a caller may give in the mechanism's parameter: the
// whole 8 bytes of RFC 3394, RFC 5649's 4 leading bytes.
std::size_t KeyWrapIvBytes(KeyWrap kind);

// Unwraps `wrapped` under the AES key `kek` (16, 24 or 32 bytes) with the
// initial value `iv` (empty: the RFC's own). CKR_OK with the key in `out`;
// CKR_WRAPPED_KEY_LEN_RANGE for a length the wrap never makes;
// CKR_WRAPPED_KEY_INVALID when its integrity check fails (a wrong key, or
// bytes changed); CKR_KEY_SIZE_RANGE for a `kek` of another size. Nothing
// of a failed unwrap is left in `out` or in freed memory.
CK_RV AesKeyUnwrap(KeyWrap kind, std::span<const std::uint8_t> kek, std::span<const std::uint8_t> iv,
                   std::span<const std::uint8_t> wrapped, Bytes* out);

}  // namespace vela::pkcs11
