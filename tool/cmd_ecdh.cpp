// `ecdh`: agrees a secret on the card with a peer's public key through the
// module, derives key material from it and prints it; with --check the same
// derivation is done with OpenSSL from the peer's private key and the card's
// public key, and the two are compared.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/pem.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

#include "host/result_names.h"
#include "tool/command.h"
#include "tool/pin_entry.h"

namespace vela::tool {
namespace {

using host::HexBytes;
using host::ResultText;
using Bytes = std::vector<BYTE>;

constexpr const char* kUsage =
    "usage: ecdh --container N --peer KEY.pem [--pin PIN] [--kdf HASH|HMAC|TLS_PRF] [--hash NAME] "
    "[--prepend HEX] [--append HEX] [--hmac-key HEX] [--secret-as-hmac-key] [--label TEXT] [--seed HEX] "
    "[--length N] [--check]";
constexpr std::size_t kBlobHeader = 8;

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

// A PEM private key (which carries its public half), or else a public key.
PkeyPtr ReadPeerKey(const std::string& path, bool* isPrivate) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "r"), std::fclose);
  if (!file) return nullptr;
  PkeyPtr key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
  *isPrivate = key != nullptr;
  if (!key) {
    std::rewind(file.get());
    key.reset(PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr));
  }
  return key;
}

// 04 X Y of a P-256 key, or empty for any other key.
Bytes EncodedPoint(EVP_PKEY* key) {
  Bytes point(65);
  std::size_t length = 0;
  char group[32] = {};
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof(group), nullptr) != 1 ||
      std::strcmp(group, "prime256v1") != 0 ||
      EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(),
                                      &length) != 1 ||
      length != 65) {
    return {};
  }
  return point;
}

PkeyPtr PublicKeyFromPoint(Bytes point) {
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()),
      OSSL_PARAM_construct_end(),
  };
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr),
                                                                     EVP_PKEY_CTX_free);
  EVP_PKEY* key = nullptr;
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    return nullptr;
  }
  return PkeyPtr(key);
}

Bytes OpenSslAgree(EVP_PKEY* own, EVP_PKEY* peer) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new(own, nullptr),
                                                                     EVP_PKEY_CTX_free);
  std::size_t length = 0;
  if (!context || EVP_PKEY_derive_init(context.get()) != 1 || EVP_PKEY_derive_set_peer(context.get(), peer) != 1 ||
      EVP_PKEY_derive(context.get(), nullptr, &length) != 1) {
    return {};
  }
  Bytes secret(length);
  if (EVP_PKEY_derive(context.get(), secret.data(), &length) != 1) return {};
  secret.resize(length);
  return secret;
}

struct Derivation {
  std::string kdf = "HASH";
  std::string hash = "SHA1";
  bool hashGiven = false;
  Bytes prepend, append, hmacKey, seed;
  std::string label;
  bool labelGiven = false;
  bool secretAsHmacKey = false;
};

// The same derivation as the module's, done by OpenSSL; empty on failure.
Bytes OpenSslDerive(const Derivation& d, const Bytes& secret) {
  if (d.kdf == "TLS_PRF") {
    Bytes labelAndSeed(d.label.begin(), d.label.end());
    labelAndSeed.insert(labelAndSeed.end(), d.seed.begin(), d.seed.end());
    Bytes secretCopy = secret;
    char digest[] = "MD5-SHA1";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, secretCopy.data(), secretCopy.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, labelAndSeed.data(), labelAndSeed.size()),
        OSSL_PARAM_construct_end(),
    };
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr);
    EVP_KDF_CTX* context = kdf != nullptr ? EVP_KDF_CTX_new(kdf) : nullptr;
    EVP_KDF_free(kdf);
    Bytes out(48);
    const bool ok = context != nullptr && EVP_KDF_derive(context, out.data(), out.size(), params) == 1;
    EVP_KDF_CTX_free(context);
    return ok ? out : Bytes();
  }
  const EVP_MD* md = EVP_get_digestbyname(d.hash.c_str());
  if (md == nullptr) return {};
  Bytes message = d.prepend;
  message.insert(message.end(), secret.begin(), secret.end());
  message.insert(message.end(), d.append.begin(), d.append.end());
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (d.kdf == "HASH") {
    if (EVP_Digest(message.data(), message.size(), out.data(), &length, md, nullptr) != 1) return {};
  } else {
    const Bytes& key = d.hmacKey.empty() ? secret : d.hmacKey;
    static const BYTE kNoKey = 0;
    if (HMAC(md, key.empty() ? &kNoKey : key.data(), static_cast<int>(key.size()), message.data(), message.size(),
             out.data(), &length) == nullptr) {
      return {};
    }
  }
  out.resize(length);
  return out;
}

// The parameter list the module is given, pointing into `d` and `hashName`.
std::vector<BCryptBuffer> ParameterList(Derivation& d, std::u16string& hashName) {
  std::vector<BCryptBuffer> list;
  if (d.hashGiven) {
    hashName.assign(d.hash.begin(), d.hash.end());
    list.push_back({static_cast<ULONG>((hashName.size() + 1) * 2), KDF_HASH_ALGORITHM, hashName.data()});
  }
  if (!d.prepend.empty()) list.push_back({static_cast<ULONG>(d.prepend.size()), KDF_SECRET_PREPEND, d.prepend.data()});
  if (!d.append.empty()) list.push_back({static_cast<ULONG>(d.append.size()), KDF_SECRET_APPEND, d.append.data()});
  if (!d.hmacKey.empty()) list.push_back({static_cast<ULONG>(d.hmacKey.size()), KDF_HMAC_KEY, d.hmacKey.data()});
  if (d.labelGiven) list.push_back({static_cast<ULONG>(d.label.size() + 1), KDF_TLS_PRF_LABEL, d.label.data()});
  if (!d.seed.empty()) list.push_back({static_cast<ULONG>(d.seed.size()), KDF_TLS_PRF_SEED, d.seed.data()});
  return list;
}

int Usage(Session& session, const std::string& error) {
  session.Fail(error.empty() ? kUsage : error + "\n" + kUsage);
  return kExitUsage;
}

int Ecdh(Args& args, Session& session) {
  const std::optional<std::string> container = args.Option("container");
  const std::optional<std::string> peerPath = args.Option("peer");
  const std::optional<std::string> pin = args.Option("pin");
  const std::optional<std::string> kdf = args.Option("kdf");
  const std::optional<std::string> hash = args.Option("hash");
  const std::optional<std::string> prepend = args.Option("prepend");
  const std::optional<std::string> append = args.Option("append");
  const std::optional<std::string> hmacKey = args.Option("hmac-key");
  const std::optional<std::string> label = args.Option("label");
  const std::optional<std::string> seed = args.Option("seed");
  const std::optional<std::string> length = args.Option("length");
  const bool secretAsHmacKey = args.Flag("secret-as-hmac-key");
  const bool check = args.Flag("check");
  if (!args.Positional().empty() || !args.error().empty()) return Usage(session, args.error());
  if (!container || !peerPath) return Usage(session, "--container and --peer are needed");

  Derivation d;
  if (kdf) d.kdf = *kdf;
  if (d.kdf != "HASH" && d.kdf != "HMAC" && d.kdf != "TLS_PRF") return Usage(session, "unknown --kdf " + d.kdf);
  if (hash) {
    d.hash = *hash;
    d.hashGiven = true;
  }
  if ((prepend && !host::ParseHex(*prepend, &d.prepend)) || (append && !host::ParseHex(*append, &d.append)) ||
      (hmacKey && !host::ParseHex(*hmacKey, &d.hmacKey)) || (seed && !host::ParseHex(*seed, &d.seed))) {
    return Usage(session, "--prepend, --append, --hmac-key and --seed take hexadecimal bytes");
  }
  if (label) {
    d.label = *label;
    d.labelGiven = true;
  }
  d.secretAsHmacKey = secretAsHmacKey;
  char* end = nullptr;
  const unsigned long index = std::strtoul(container->c_str(), &end, 10);
  if (container->empty() || *end != 0 || index > 15) return Usage(session, "--container takes 0 to 15");
  unsigned long outputLength = 64;
  if (length) {
    outputLength = std::strtoul(length->c_str(), &end, 10);
    if (length->empty() || *end != 0 || outputLength == 0 || outputLength > 4096) {
      return Usage(session, "--length takes 1 to 4096");
    }
  }

  bool peerIsPrivate = false;
  PkeyPtr peer = ReadPeerKey(*peerPath, &peerIsPrivate);
  if (!peer) return session.Fail("cannot read a PEM key from " + *peerPath);
  const Bytes point = EncodedPoint(peer.get());
  if (point.empty()) return session.Fail(*peerPath + " is not a P-256 key");
  if (check && !peerIsPrivate) return session.Fail("--check needs the peer's private key in " + *peerPath);

  CARD_DATA* card = session.card();
  Value& report = session.report();
  report.Set("container", static_cast<std::uint64_t>(index));

  {
    Secret pinBytes;
    std::string error;
    if (!ReadSecret(pin, "pin", "PIN: ", &pinBytes, &error)) return session.Fail(error);
    if (VerifyPin(session, pinBytes) != 0) return kExitFailure;
  }

  // "ECK1", the key length, X, Y.
  Bytes blob(kBlobHeader + 64);
  const BYTE header[kBlobHeader] = {0x45, 0x43, 0x4B, 0x31, 32, 0, 0, 0};
  std::memcpy(blob.data(), header, kBlobHeader);
  std::memcpy(blob.data() + kBlobHeader, point.data() + 1, 64);
  CARD_DH_AGREEMENT_INFO agreement{};
  agreement.dwVersion = 2;
  agreement.bContainerIndex = static_cast<BYTE>(index);
  agreement.dwPublicKey = static_cast<DWORD>(blob.size());
  agreement.pbPublicKey = blob.data();
  DWORD rc = session.Answer("CardConstructDHAgreement " + std::to_string(index),
                      card->pfnCardConstructDHAgreement(card, &agreement));
  if (rc != 0) return session.Fail("the card agreed no secret: " + ResultText(rc));
  report.Set("slot", static_cast<std::uint64_t>(agreement.bSecretAgreementIndex));

  std::u16string hashName;
  std::vector<BCryptBuffer> parameters = ParameterList(d, hashName);
  BCryptBufferDesc list{0, static_cast<ULONG>(parameters.size()), parameters.data()};
  const std::u16string kdfName(d.kdf.begin(), d.kdf.end());
  Bytes derived(outputLength);
  CARD_DERIVE_KEY derive{};
  derive.dwVersion = 2;
  derive.dwFlags = d.secretAsHmacKey ? KDF_USE_SECRET_AS_HMAC_KEY_FLAG : 0;
  derive.pwszKDF = kdfName.c_str();
  derive.bSecretAgreementIndex = agreement.bSecretAgreementIndex;
  derive.pParameterList = parameters.empty() ? nullptr : &list;
  derive.pbDerivedKey = derived.data();
  derive.cbDerivedKey = static_cast<DWORD>(derived.size());
  rc = session.Answer("CardDeriveKey " + d.kdf, card->pfnCardDeriveKey(card, &derive));
  session.Answer("CardDestroyDHAgreement",
                 card->pfnCardDestroyDHAgreement(card, agreement.bSecretAgreementIndex, 0));
  if (rc != 0) return session.Fail("the derivation failed: " + ResultText(rc));
  derived.resize(derive.cbDerivedKey);
  report.Set("kdf", d.kdf);
  if (d.kdf != "TLS_PRF") report.Set("hash", d.hash);
  report.Set("derived", HexBytes(derived.data(), derived.size(), ""));
  if (!check) return kExitOk;

  CONTAINER_INFO info{};
  info.dwVersion = 1;
  rc = session.Answer("CardGetContainerInfo " + std::to_string(index),
                      card->pfnCardGetContainerInfo(card, static_cast<BYTE>(index), 0, &info));
  HostPtr<BYTE> signatureKey(info.pbSigPublicKey);
  HostPtr<BYTE> exchangeKey(info.pbKeyExPublicKey);
  if (rc != 0 || !exchangeKey || info.cbKeyExPublicKey != kBlobHeader + 64) {
    return session.Fail("cannot read the container's key-exchange public key");
  }
  Bytes cardPoint = {0x04};
  cardPoint.insert(cardPoint.end(), exchangeKey.get() + kBlobHeader, exchangeKey.get() + info.cbKeyExPublicKey);
  PkeyPtr cardKey = PublicKeyFromPoint(cardPoint);
  const Bytes secret = cardKey ? OpenSslAgree(peer.get(), cardKey.get()) : Bytes();
  Bytes expected = secret.empty() ? Bytes() : OpenSslDerive(d, secret);
  if (expected.empty()) return session.Fail("OpenSSL could not do the same derivation");
  if (expected.size() > outputLength) expected.resize(outputLength);
  const bool agree = expected == derived;
  report.Set("openssl", HexBytes(expected.data(), expected.size(), ""));
  report.Set("check", agree ? "module and OpenSSL agree" : "module and OpenSSL differ");
  return agree ? kExitOk : kExitFailure;
}

const RegisterCommand kEcdh{{"ecdh", "--container N --peer KEY.pem [--pin PIN] [--kdf HASH|HMAC|TLS_PRF ...] [--check]",
                             "agrees a secret on the card and derives key material from it", Ecdh}};

}  // namespace
}  // namespace vela::tool
