#include "pkcs11/key_wrap.h"

#include <openssl/evp.h>

#include <memory>

#include "core/secure_wipe.h"

namespace vela::pkcs11 {
namespace {

constexpr std::size_t kSemiblock = 8;
// A wrapped key longer than any key this token makes is refused unread.
constexpr std::size_t kMaxWrapped = 1024 + 2 * kSemiblock;

const EVP_CIPHER* Cipher(KeyWrap kind, std::size_t kekBytes) {
  const bool pad = kind == KeyWrap::kRfc5649;
  switch (kekBytes) {
    case 16: return pad ? EVP_aes_128_wrap_pad() : EVP_aes_128_wrap();
    case 24: return pad ? EVP_aes_192_wrap_pad() : EVP_aes_192_wrap();
    case 32: return pad ? EVP_aes_256_wrap_pad() : EVP_aes_256_wrap();
    default: return nullptr;
  }
}

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

}  // namespace

std::optional<KeyWrap> KeyWrapOf(CK_MECHANISM_TYPE type) {
  if (type == CKM_AES_KEY_WRAP) return KeyWrap::kRfc3394;
  if (type == CKM_AES_KEY_WRAP_PAD) return KeyWrap::kRfc5649;
  return std::nullopt;
}

std::size_t KeyWrapIvBytes(KeyWrap kind) { return kind == KeyWrap::kRfc3394 ? kSemiblock : kSemiblock / 2; }

CK_RV AesKeyUnwrap(KeyWrap kind, std::span<const std::uint8_t> kek, std::span<const std::uint8_t> iv,
                   std::span<const std::uint8_t> wrapped, Bytes* out) {
  const EVP_CIPHER* cipher = Cipher(kind, kek.size());
  if (cipher == nullptr) return CKR_KEY_SIZE_RANGE;
  if (!iv.empty() && iv.size() != KeyWrapIvBytes(kind)) return CKR_MECHANISM_PARAM_INVALID;
  // RFC 3394 wraps two semiblocks or more; RFC 5649 one or more, padded.
  const std::size_t least = kind == KeyWrap::kRfc3394 ? 3 * kSemiblock : 2 * kSemiblock;
  if (wrapped.size() < least || wrapped.size() % kSemiblock != 0 || wrapped.size() > kMaxWrapped) {
    return CKR_WRAPPED_KEY_LEN_RANGE;
  }
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
  if (!context) return CKR_HOST_MEMORY;
  EVP_CIPHER_CTX_set_flags(context.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  // The unwrapped key never outgrows the wrapped one; the room is wiped
  // whatever the outcome, before it is freed.
  Bytes plain(wrapped.size());
  int length = 0;
  int last = 0;
  const bool unwrapped =
      EVP_DecryptInit_ex(context.get(), cipher, nullptr, kek.data(), iv.empty() ? nullptr : iv.data()) == 1 &&
      EVP_DecryptUpdate(context.get(), plain.data(), &length, wrapped.data(), static_cast<int>(wrapped.size())) ==
          1 &&
      length > 0 && EVP_DecryptFinal_ex(context.get(), plain.data() + length, &last) == 1;
  if (unwrapped) out->assign(plain.begin(), plain.begin() + length + last);
  SecureWipe(plain.data(), plain.size());
  return unwrapped ? CKR_OK : CKR_WRAPPED_KEY_INVALID;
}

}  // namespace vela::pkcs11
