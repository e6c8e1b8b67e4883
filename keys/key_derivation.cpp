// Key derivation in software from an agreed secret: "HASH", "HMAC" and
// "TLS_PRF" over the module's own primitives. The card is not addressed.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "card/check_context.h"
#include "core/card_context.h"
#include "core/entry_points.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/secure_wipe.h"
#include "crypto/digest.h"
#include "crypto/hmac.h"
#include "crypto/md5.h"
#include "crypto/tls_prf.h"

namespace vela {
namespace {

constexpr DWORD kAcceptedFlags = CARD_BUFFER_SIZE_ONLY | CARD_RETURN_KEY_HANDLE | KDF_USE_SECRET_AS_HMAC_KEY_FLAG;
constexpr std::size_t kHashNameCapacity = 128;  // characters with the terminator
constexpr std::size_t kJoinedCapacity = 512;    // prepend, and append, in all
constexpr std::size_t kHmacKeyCapacity = 128;
constexpr std::size_t kLabelCapacity = 256;     // characters with the terminator
constexpr std::size_t kSeedLength = 64;
constexpr std::size_t kWorkAreaLength = 2048;
constexpr std::size_t kMaxSecretLength = 32;

enum class Kdf { kHash, kHmac, kTlsPrf };

// The hash names of the host's cryptography interface and their adapters.
struct NamedHash {
  std::u16string_view name;
  int (*hash)(const BYTE* data, std::size_t length, BYTE* digest);
  int (*hmac)(const BYTE* text, std::size_t textLength, const BYTE* key, std::size_t keyLength, BYTE* digest);
  DWORD outputLength;
};

template <int Id>
int ShaHashOf(const BYTE* data, std::size_t length, BYTE* digest) {
  return ShaHash(Id, data, length, digest);
}

template <int Id>
int ShaHmacOf(const BYTE* text, std::size_t textLength, const BYTE* key, std::size_t keyLength, BYTE* digest) {
  return Hmac(Id, text, textLength, key, keyLength, digest);
}

constexpr NamedHash kNamedHashes[] = {
    {u"MD5", Md5Hash, HmacMd5, 16},
    {u"SHA1", ShaHashOf<kSha1>, ShaHmacOf<kSha1>, 20},
    {u"SHA256", ShaHashOf<kSha256>, ShaHmacOf<kSha256>, 32},
    {u"SHA384", ShaHashOf<kSha384>, ShaHmacOf<kSha384>, 48},
    {u"SHA512", ShaHashOf<kSha512>, ShaHmacOf<kSha512>, 64},
};

// Everything gathered from the parameter list, and the work area; wiped on
// every way out, since most of it derives from or keys the secret.
struct Derivation {
  WCHAR hashName[kHashNameCapacity];
  BYTE prepend[kJoinedCapacity];
  std::size_t prependLength;
  BYTE append[kJoinedCapacity];
  std::size_t appendLength;
  BYTE hmacKey[kHmacKeyCapacity];
  std::size_t hmacKeyLength;
  char label[kLabelCapacity];
  std::size_t labelLength;
  bool labelPresent;
  BYTE seed[kSeedLength];
  bool seedPresent;
  BYTE input[kWorkAreaLength];
  std::size_t inputLength;
  BYTE digest[kShaMaxHashSize];

  Derivation() { std::memset(this, 0, sizeof(*this)); }
  ~Derivation() { SecureWipe(this, sizeof(*this)); }
  Derivation(const Derivation&) = delete;
  Derivation& operator=(const Derivation&) = delete;
};

bool ParseKdf(LPCWSTR name, Kdf* kdf) {
  const std::u16string_view text(name);
  if (text == u"HASH") *kdf = Kdf::kHash;
  else if (text == u"HMAC") *kdf = Kdf::kHmac;
  else if (text == u"TLS_PRF") *kdf = Kdf::kTlsPrf;
  else return false;
  return true;
}

// Copies the terminated string in a parameter buffer, of at most `capacity`
// - 1 units, reading no unit past its terminator, the buffer's `cbBuffer`
// bytes or the capacity. False when no terminator lies within both.
template <class Unit>
bool CopyTerminated(const BCryptBuffer& buffer, Unit* target, std::size_t capacity, std::size_t* length) {
  const Unit* source = static_cast<const Unit*>(buffer.pvBuffer);
  const std::size_t limit = std::min<std::size_t>(capacity, buffer.cbBuffer / sizeof(Unit));
  for (std::size_t i = 0; i < limit; ++i) {
    target[i] = source[i];
    if (source[i] == Unit{0}) {
      if (length != nullptr) *length = i;
      return true;
    }
  }
  return false;
}

bool AppendBytes(BYTE* target, std::size_t* length, const BCryptBuffer& buffer) {
  if (buffer.cbBuffer > kJoinedCapacity - *length) return false;
  std::memcpy(target + *length, buffer.pvBuffer, buffer.cbBuffer);
  *length += buffer.cbBuffer;
  return true;
}

// Walks the host's parameter list in order; SCARD_E_INVALID_PARAMETER for a
// type it does not know, a missing buffer or a value beyond its capacity.
DWORD GatherParameters(const BCryptBufferDesc* list, Derivation* d) {
  if (list == nullptr || list->cBuffers == 0) return 0;
  if (list->pBuffers == nullptr) return SCARD_E_INVALID_PARAMETER;
  for (ULONG i = 0; i < list->cBuffers; ++i) {
    const BCryptBuffer& buffer = list->pBuffers[i];
    if (buffer.BufferType == KDF_SECRET_HANDLE) continue;
    if (buffer.pvBuffer == nullptr) return SCARD_E_INVALID_PARAMETER;
    switch (buffer.BufferType) {
      case KDF_HASH_ALGORITHM:
        if (!CopyTerminated(buffer, d->hashName, kHashNameCapacity, nullptr)) {
          return SCARD_E_INVALID_PARAMETER;
        }
        break;
      case KDF_SECRET_PREPEND:
        if (!AppendBytes(d->prepend, &d->prependLength, buffer)) return SCARD_E_INVALID_PARAMETER;
        break;
      case KDF_SECRET_APPEND:
        if (!AppendBytes(d->append, &d->appendLength, buffer)) return SCARD_E_INVALID_PARAMETER;
        break;
      case KDF_HMAC_KEY:
        if (buffer.cbBuffer > kHmacKeyCapacity) return SCARD_E_INVALID_PARAMETER;
        std::memcpy(d->hmacKey, buffer.pvBuffer, buffer.cbBuffer);
        d->hmacKeyLength = buffer.cbBuffer;
        break;
      case KDF_TLS_PRF_LABEL:
        if (!CopyTerminated(buffer, d->label, kLabelCapacity, &d->labelLength)) {
          return SCARD_E_INVALID_PARAMETER;
        }
        d->labelPresent = true;
        break;
      case KDF_TLS_PRF_SEED:
        // Only a seed of exactly 64 bytes counts; any other is passed over.
        if (buffer.cbBuffer == kSeedLength) {
          std::memcpy(d->seed, buffer.pvBuffer, kSeedLength);
          d->seedPresent = true;
        }
        break;
      default:
        return SCARD_E_INVALID_PARAMETER;
    }
  }
  return 0;
}

const NamedHash* FindHash(const WCHAR* name) {
  const std::u16string_view text(name);
  for (const NamedHash& entry : kNamedHashes) {
    if (entry.name == text) return &entry;
  }
  return nullptr;
}

// The output rule shared by the three functions. Returns 0 with `*done` set
// when only the size was asked for.
DWORD PrepareOutput(const CARD_DATA* cardData, CARD_DERIVE_KEY* info, DWORD outputLength, DWORD noBufferCode,
                    bool* done) {
  *done = false;
  if (info->dwFlags == CARD_BUFFER_SIZE_ONLY) {
    info->cbDerivedKey = outputLength;
    *done = true;
    return 0;
  }
  if (info->pbDerivedKey == nullptr && info->dwVersion == 1) {
    info->cbDerivedKey = outputLength;
    info->pbDerivedKey = static_cast<PBYTE>(HostAlloc(cardData, outputLength));
  }
  return info->pbDerivedKey == nullptr ? noBufferCode : 0;
}

void CopyLeading(CARD_DERIVE_KEY* info, const BYTE* result, DWORD resultLength) {
  info->cbDerivedKey = std::min(info->cbDerivedKey, resultLength);
  std::memcpy(info->pbDerivedKey, result, info->cbDerivedKey);
}

DWORD DeriveByHash(const CARD_DATA* cardData, CARD_DERIVE_KEY* info, Derivation* d) {
  const NamedHash* hash = FindHash(d->hashName);
  if (hash == nullptr) return SCARD_E_INVALID_PARAMETER;
  bool done = false;
  if (const DWORD rc = PrepareOutput(cardData, info, hash->outputLength, SCARD_E_NO_MEMORY, &done); rc != 0 || done) {
    return rc;
  }
  if (hash->hash(d->input, d->inputLength, d->digest) != 0) return SCARD_F_INTERNAL_ERROR;
  CopyLeading(info, d->digest, hash->outputLength);
  return 0;
}

DWORD DeriveByHmac(const CARD_DATA* cardData, CARD_DERIVE_KEY* info, Derivation* d, const AgreementSlot& slot) {
  const BYTE* key = slot.secretBytes;
  std::size_t keyLength = slot.secretLength;
  if (d->hmacKeyLength > 0) {
    if ((info->dwFlags & KDF_USE_SECRET_AS_HMAC_KEY_FLAG) != 0) return SCARD_E_INVALID_PARAMETER;
    key = d->hmacKey;
    keyLength = d->hmacKeyLength;
  }
  const NamedHash* hash = FindHash(d->hashName);
  if (hash == nullptr) return SCARD_E_INVALID_PARAMETER;
  bool done = false;
  if (const DWORD rc = PrepareOutput(cardData, info, hash->outputLength, SCARD_E_INVALID_PARAMETER, &done);
      rc != 0 || done) {
    return rc;
  }
  if (hash->hmac(d->input, d->inputLength, key, keyLength, d->digest) != 0) return SCARD_F_INTERNAL_ERROR;
  CopyLeading(info, d->digest, hash->outputLength);
  return 0;
}

DWORD DeriveByTlsPrf(const CARD_DATA* cardData, CARD_DERIVE_KEY* info, Derivation* d, const AgreementSlot& slot) {
  if (!d->labelPresent || !d->seedPresent) return SCARD_E_INVALID_PARAMETER;
  constexpr DWORD kOutput = static_cast<DWORD>(kTlsPrfOutputSize);
  bool done = false;
  if (const DWORD rc = PrepareOutput(cardData, info, kOutput, SCARD_E_INVALID_PARAMETER, &done); rc != 0 || done) {
    return rc;
  }
  if (TlsPrf(slot.secretBytes, slot.secretLength, d->seed, kSeedLength, reinterpret_cast<const BYTE*>(d->label),
             d->labelLength, info->pbDerivedKey, info->cbDerivedKey) != 0) {
    return SCARD_F_INTERNAL_ERROR;
  }
  info->cbDerivedKey = kOutput;
  return 0;
}

}  // namespace

DWORD VELA_WINAPI CardDeriveKey(PCARD_DATA pCardData, CARD_DERIVE_KEY* pAgreementInfo) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  CardContext* context = ContextOf(pCardData);
  CARD_DERIVE_KEY* info = pAgreementInfo;
  if (info == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (info->dwVersion != 1 && info->dwVersion != 2) return ERROR_REVISION_MISMATCH;
  if (info->pwszKDF == nullptr || (info->dwFlags & ~kAcceptedFlags) != 0) return SCARD_E_INVALID_PARAMETER;
  if (info->bSecretAgreementIndex >= kAgreementSlots) return SCARD_E_INVALID_PARAMETER;
  Kdf kdf;
  if (!ParseKdf(info->pwszKDF, &kdf)) return SCARD_E_INVALID_PARAMETER;
  AcceptArguments();
  if (!context->userAuthenticated) return SCARD_W_SECURITY_VIOLATION;
  const AgreementSlot& slot = context->agreements[info->bSecretAgreementIndex];
  if (slot.inUse == 0) return SCARD_E_INVALID_PARAMETER;

  Derivation d;
  std::copy_n(u"SHA1", 5, d.hashName);
  if (const DWORD rc = GatherParameters(static_cast<const BCryptBufferDesc*>(info->pParameterList), &d); rc != 0) {
    return rc;
  }
  const std::size_t secretLength = std::min<std::size_t>(slot.secretLength, kMaxSecretLength);
  BYTE* out = d.input;
  out = std::copy_n(d.prepend, d.prependLength, out);
  out = std::copy_n(slot.secretBytes, secretLength, out);
  out = std::copy_n(d.append, d.appendLength, out);
  d.inputLength = static_cast<std::size_t>(out - d.input);

  switch (kdf) {
    case Kdf::kHash: return DeriveByHash(pCardData, info, &d);
    case Kdf::kHmac: return DeriveByHmac(pCardData, info, &d, slot);
    case Kdf::kTlsPrf: return DeriveByTlsPrf(pCardData, info, &d, slot);
  }
  return SCARD_E_INVALID_PARAMETER;
}

}  // namespace vela
