#include "openssl_reference.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>

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

Bytes ReferenceTlsPrf(const std::string& digest, const Bytes& secret, const Bytes& seed, std::size_t length) {
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr);
  if (kdf == nullptr) throw std::runtime_error("no TLS1-PRF");
  EVP_KDF_CTX* context = EVP_KDF_CTX_new(kdf);
  EVP_KDF_free(kdf);
  std::string digestName = digest;
  Bytes secretCopy = secret;
  Bytes seedCopy = seed;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName.data(), 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, secretCopy.data(), secretCopy.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seedCopy.data(), seedCopy.size()),
      OSSL_PARAM_construct_end(),
  };
  Bytes out(length);
  const int ok = EVP_KDF_derive(context, out.data(), out.size(), params);
  EVP_KDF_CTX_free(context);
  if (ok != 1) throw std::runtime_error("TLS1-PRF failed");
  return out;
}

}  // namespace vela::test
