// Certificates read with OpenSSL.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <string>

#include "tool/certificate.h"

namespace vela::tool {

namespace {

using host::HexBytes;
using host::Value;
using BYTE = std::uint8_t;

template <class T, void (*Free)(T*)>
struct OpenSslDeleter {
  void operator()(T* p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO, BIO_free_all>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpenSslDeleter<BIGNUM, BN_free>>;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

std::string NameText(const X509_NAME* name) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return "";
  return BioText(bio.get());
}

Value TimeText(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return Value();
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return std::string(text);
}

Value SerialText(const ASN1_INTEGER* serial) {
  BignumPtr number(ASN1_INTEGER_to_BN(serial, nullptr));
  if (!number) return Value();
  char* hex = BN_bn2hex(number.get());
  std::string text = hex != nullptr ? hex : "";
  OPENSSL_free(hex);
  return text;
}

// 04 X Y of the certificate's key; empty for a key without an encoded point.
std::vector<BYTE> CertificatePoint(X509* certificate) {
  EVP_PKEY* key = X509_get0_pubkey(certificate);
  std::vector<BYTE> point(133);  // room for P-521
  std::size_t length = 0;
  if (key == nullptr || EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                                        point.size(), &length) != 1) {
    return {};
  }
  point.resize(length);
  return point;
}

}  // namespace

void DescribeCertificateDer(const std::vector<std::uint8_t>& der, Value& out, std::vector<std::uint8_t>* point) {
  const unsigned char* p = der.data();
  X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!certificate) {
    out.Set("error", "not a DER X.509 certificate");
    return;
  }
  out.Set("subject", NameText(X509_get_subject_name(certificate.get())));
  out.Set("issuer", NameText(X509_get_issuer_name(certificate.get())));
  out.Set("serialNumber", SerialText(X509_get0_serialNumber(certificate.get())));
  out.Set("notBefore", TimeText(X509_get0_notBefore(certificate.get())));
  out.Set("notAfter", TimeText(X509_get0_notAfter(certificate.get())));
  *point = CertificatePoint(certificate.get());
  out.Set("publicKey", point->empty() ? Value() : Value(HexBytes(point->data(), point->size(), "")));
}

}  // namespace vela::tool
