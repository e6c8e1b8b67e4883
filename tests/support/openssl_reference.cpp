#include "openssl_reference.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/x509.h>

#include <cstring>
#include <stdexcept>

namespace vela::test {

Bytes ReferenceDigest(const std::string& name, const Bytes& data) {
  const EVP_MD* md = EVP_get_digestbyname(name.c_str());
  if (md == nullptr) throw std::runtime_error("unknown digest " + name);
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1) {
    throw std::runtime_error("EVP_Digest failed");
  }
  out.resize(length);
  return out;
}

Bytes ReferenceHmac(const std::string& name, const Bytes& key, const Bytes& data) {
  const EVP_MD* md = EVP_get_digestbyname(name.c_str());
  if (md == nullptr) throw std::runtime_error("unknown digest " + name);
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  static const std::uint8_t kEmpty = 0;
  if (HMAC(md, key.empty() ? &kEmpty : key.data(), static_cast<int>(key.size()), data.data(), data.size(),
           out.data(), &length) == nullptr) {
    throw std::runtime_error("HMAC failed");
  }
  out.resize(length);
  return out;
}

namespace {

// `length` bytes of the OpenSSL KDF `name` with these parameters.
Bytes RunKdf(const char* name, OSSL_PARAM* params, std::size_t length) {
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, name, nullptr);
  if (kdf == nullptr) throw std::runtime_error(std::string("no ") + name);
  EVP_KDF_CTX* context = EVP_KDF_CTX_new(kdf);
  EVP_KDF_free(kdf);
  Bytes out(length);
  const int ok = EVP_KDF_derive(context, out.data(), out.size(), params);
  EVP_KDF_CTX_free(context);
  if (ok != 1) throw std::runtime_error(std::string(name) + " failed");
  return out;
}

}  // namespace

Bytes ReferenceTlsPrf(const std::string& digest, const Bytes& secret, const Bytes& seed, std::size_t length) {
  std::string digestName = digest;
  Bytes secretCopy = secret;
  Bytes seedCopy = seed;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName.data(), 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, secretCopy.data(), secretCopy.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seedCopy.data(), seedCopy.size()),
      OSSL_PARAM_construct_end(),
  };
  return RunKdf("TLS1-PRF", params, length);
}

Bytes ReferenceX963Kdf(const std::string& digest, const Bytes& secret, const Bytes& sharedInfo, std::size_t length) {
  std::string digestName = digest;
  Bytes secretCopy = secret;
  Bytes infoCopy = sharedInfo;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName.data(), 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, secretCopy.data(), secretCopy.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, infoCopy.data(), infoCopy.size()),
      OSSL_PARAM_construct_end(),
  };
  return RunKdf("X963KDF", params, length);
}

Bytes ReferenceAgree(EVP_PKEY* own, EVP_PKEY* peer) {
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(own, nullptr);
  std::size_t length = 0;
  Bytes secret;
  if (context != nullptr && EVP_PKEY_derive_init(context) == 1 && EVP_PKEY_derive_set_peer(context, peer) == 1 &&
      EVP_PKEY_derive(context, nullptr, &length) == 1) {
    secret.resize(length);
    if (EVP_PKEY_derive(context, secret.data(), &length) != 1) length = 0;
    secret.resize(length);
  }
  EVP_PKEY_CTX_free(context);
  return secret;
}

bool ReferenceEcdsaVerify(EVP_PKEY* key, const Bytes& hash, const Bytes& signature) {
  if (signature.empty() || signature.size() % 2 != 0) return false;
  const int half = static_cast<int>(signature.size() / 2);
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(signature.data(), half, nullptr), BN_bin2bn(signature.data() + half, half, nullptr));
  unsigned char* der = nullptr;
  const int derLength = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
  const bool ok = derLength > 0 && context != nullptr && EVP_PKEY_verify_init(context) == 1 &&
                  EVP_PKEY_verify(context, der, static_cast<std::size_t>(derLength), hash.data(), hash.size()) == 1;
  EVP_PKEY_CTX_free(context);
  OPENSSL_free(der);
  return ok;
}

void PkeyFree::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

Pkey FreshPeerKey() { return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")); }

Bytes PeerKeyBlob(EVP_PKEY* peer) {
  Bytes point(65);
  std::size_t length = 0;
  EVP_PKEY_get_octet_string_param(peer, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(), &length);
  Bytes blob(8 + 64);
  const std::uint8_t header[8] = {0x45, 0x43, 0x4B, 0x31, 32, 0, 0, 0};
  std::memcpy(blob.data(), header, sizeof(header));
  std::memcpy(blob.data() + 8, point.data() + 1, 64);
  return blob;
}

bool SignatureVerifies(const Bytes& certificate, const Bytes& hash, const Bytes& signature) {
  if (signature.size() != 64) return false;
  const unsigned char* p = certificate.data();
  std::unique_ptr<X509, decltype(&X509_free)> x509(d2i_X509(nullptr, &p, static_cast<long>(certificate.size())),
                                                    X509_free);
  return x509 && ReferenceEcdsaVerify(X509_get0_pubkey(x509.get()), hash, signature);
}

}  // namespace vela::test
