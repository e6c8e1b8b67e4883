#include "emulator/card_keys.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>

namespace vela::emu {

namespace {

using Bytes = std::vector<std::uint8_t>;

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using GroupPtr = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP_free>>;
using PointPtr = std::unique_ptr<EC_POINT, Deleter<EC_POINT_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("libcrypto: ") + what);
}

Bytes Sha256(std::span<const std::uint8_t> data) {
  Bytes out(32);
  unsigned int length = 0;
  Check(EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha256(), nullptr) == 1, "SHA-256");
  return out;
}

GroupPtr P256() {
  GroupPtr group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  Check(group != nullptr, "P-256 group");
  return group;
}

BnPtr FromBytes(std::span<const std::uint8_t> bytes) {
  BnPtr bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
  Check(bn != nullptr, "BN_bin2bn");
  return bn;
}

Bytes ToBytes(const BIGNUM* bn, int width) {
  Bytes out(static_cast<std::size_t>(width));
  Check(BN_bn2binpad(bn, out.data(), width) == width, "BN_bn2binpad");
  return out;
}

Bytes PointBytes(const EC_GROUP* group, const EC_POINT* point, BN_CTX* ctx) {
  Bytes out(65);
  Check(EC_POINT_point2oct(group, point, POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(), ctx) == 65,
        "point encoding");
  return out;
}

PkeyPtr PkeyFromParams(const BIGNUM* priv, std::span<const std::uint8_t> point) {
  std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>> bld(OSSL_PARAM_BLD_new());
  Check(bld != nullptr, "param builder");
  Check(OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) == 1, "group");
  Check(OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) == 1,
        "public key");
  if (priv != nullptr) Check(OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv) == 1, "private key");
  std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>> params(OSSL_PARAM_BLD_to_param(bld.get()));
  Check(params != nullptr, "params");
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  Check(ctx != nullptr && EVP_PKEY_fromdata_init(ctx.get()) == 1, "fromdata init");
  EVP_PKEY* pkey = nullptr;
  Check(EVP_PKEY_fromdata(ctx.get(), &pkey, priv != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get()) == 1,
        "fromdata");
  return PkeyPtr(pkey);
}

// ---- DER ---------------------------------------------------------------------

Bytes Tlv(std::uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else if (n <= 0xFF) {
    out.insert(out.end(), {0x81, static_cast<std::uint8_t>(n)});
  } else {
    Check(n <= 0xFFFF, "DER length");
    out.insert(out.end(), {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Integer(std::uint32_t value) {
  Bytes content;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto byte = static_cast<std::uint8_t>(value >> shift);
    if (content.empty() && byte == 0 && shift > 0) continue;
    if (content.empty() && (byte & 0x80) != 0) content.push_back(0);
    content.push_back(byte);
  }
  return Tlv(0x02, content);
}

const Bytes kEcdsaWithSha256 = {0x30, 0x0A, 0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02};
const Bytes kEcPublicKeyP256 = {0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                                0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const Bytes kOidOrganization = {0x06, 0x03, 0x55, 0x04, 0x0A};
const Bytes kOidCommonName = {0x06, 0x03, 0x55, 0x04, 0x03};
const Bytes kOidBasicConstraints = {0x06, 0x03, 0x55, 0x1D, 0x13};
const Bytes kOidKeyUsage = {0x06, 0x03, 0x55, 0x1D, 0x0F};
const Bytes kOidSubjectAltName = {0x06, 0x03, 0x55, 0x1D, 0x11};
const Bytes kOidComment = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x86, 0xF8, 0x42, 0x01, 0x0D};
const Bytes kCritical = {0x01, 0x01, 0xFF};

Bytes Name(const std::string& commonName) {
  return Tlv(0x30, Cat({Tlv(0x31, Tlv(0x30, Cat({kOidOrganization, Tlv(0x0C, Text("VELA Test Cards"))}))),
                        Tlv(0x31, Tlv(0x30, Cat({kOidCommonName, Tlv(0x0C, Text(commonName))})))}));
}

Bytes Extensions(KeyUse use, const std::string& email, int padding) {
  const bool ca = use == KeyUse::kCertificateAuthority;
  const Bytes basic = Tlv(0x30, Cat({kOidBasicConstraints, kCritical,
                                     Tlv(0x04, Tlv(0x30, ca ? Bytes{0x01, 0x01, 0xFF} : Bytes{}))}));
  Bytes usageBits;
  switch (use) {
    case KeyUse::kSignature: usageBits = {0x03, 0x02, 0x07, 0x80}; break;             // digitalSignature
    case KeyUse::kAgreement: usageBits = {0x03, 0x02, 0x03, 0x08}; break;             // keyAgreement
    case KeyUse::kCertificateAuthority: usageBits = {0x03, 0x02, 0x01, 0x06}; break;  // keyCertSign, cRLSign
  }
  const Bytes usage = Tlv(0x30, Cat({kOidKeyUsage, kCritical, Tlv(0x04, usageBits)}));
  Bytes all = Cat({basic, usage});
  // GeneralNames holding one rfc822Name ([1] IA5String).
  if (!email.empty()) {
    all = Cat({all, Tlv(0x30, Cat({kOidSubjectAltName, Tlv(0x04, Tlv(0x30, Tlv(0x81, Text(email))))}))});
  }
  if (padding >= 0) {
    const Bytes filler(static_cast<std::size_t>(padding), 'P');
    all = Cat({all, Tlv(0x30, Cat({kOidComment, Tlv(0x04, Tlv(0x16, filler))}))});
  }
  return Tlv(0xA3, Tlv(0x30, all));
}

// YYMMDD of a day, as a UTCTime holds it.
std::string UtcDate(std::chrono::sys_days day) {
  const std::chrono::year_month_day date(day);
  char text[16];
  std::snprintf(text, sizeof text, "%02d%02u%02u", static_cast<int>(date.year()) % 100,
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

Bytes Validity(unsigned generation) {
  using namespace std::chrono;
  if (generation == 0) return Tlv(0x30, Cat({Tlv(0x17, Text("250101000000Z")), Tlv(0x17, Text("491231235959Z"))}));
  const sys_days from = sys_days(year(2025) / January / 1) + days(generation);
  const sys_days last = sys_days(year_month_day(from) + years(20)) - days(1);
  return Tlv(0x30, Cat({Tlv(0x17, Text(UtcDate(from) + "000000Z")), Tlv(0x17, Text(UtcDate(last) + "235959Z"))}));
}

Bytes Certificate(const CertificateRequest& request, const std::string& commonName, const EcKey& subject,
                  const std::string& issuerName, const EcKey& issuerKey, int padding) {
  Check(request.generation <= kMaxCertificateGeneration, "certificate generation");
  const Bytes validity = Validity(request.generation);
  const Bytes spki = Tlv(0x30, Cat({kEcPublicKeyP256, Tlv(0x03, Cat({{0x00}, subject.publicPoint()}))}));
  const Bytes tbs = Tlv(0x30, Cat({{0xA0, 0x03, 0x02, 0x01, 0x02}, Integer(request.serialNumber), kEcdsaWithSha256,
                                   Name(issuerName), validity, Name(commonName), spki,
                                   Extensions(request.use, request.email, padding)}));
  const Bytes signature = issuerKey.SignForCertificate(tbs);
  return Tlv(0x30, Cat({tbs, kEcdsaWithSha256, Tlv(0x03, Cat({{0x00}, signature}))}));
}

}  // namespace

EcKey EcKey::Derive(std::uint64_t seed, const std::string& label) {
  Bytes material = Text("vela-card key|" + label + "|");
  for (int i = 0; i < 8; ++i) material.push_back(static_cast<std::uint8_t>(seed >> (8 * i)));
  GroupPtr group = P256();
  BnCtxPtr ctx(BN_CTX_new());
  Check(ctx != nullptr, "BN_CTX");
  // d = H mod (n - 1) + 1 lies in [1, n - 1].
  BnPtr d = FromBytes(Sha256(material));
  BnPtr nMinusOne(BN_dup(EC_GROUP_get0_order(group.get())));
  Check(nMinusOne != nullptr && BN_sub_word(nMinusOne.get(), 1) == 1, "order");
  Check(BN_mod(d.get(), d.get(), nMinusOne.get(), ctx.get()) == 1 && BN_add_word(d.get(), 1) == 1, "scalar");
  PointPtr point(EC_POINT_new(group.get()));
  Check(point != nullptr && EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, ctx.get()) == 1,
        "public point");
  EcKey key;
  key.scalar_ = ToBytes(d.get(), 32);
  key.point_ = PointBytes(group.get(), point.get(), ctx.get());
  key.pkey_ = PkeyFromParams(d.get(), key.point_);
  return key;
}

std::vector<std::uint8_t> EcKey::SignDigest(std::span<const std::uint8_t> digest) const {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey_.get(), nullptr));
  Check(ctx != nullptr && EVP_PKEY_sign_init(ctx.get()) == 1, "sign init");
  std::size_t length = 0;
  Check(EVP_PKEY_sign(ctx.get(), nullptr, &length, digest.data(), digest.size()) == 1, "sign size");
  Bytes der(length);
  Check(EVP_PKEY_sign(ctx.get(), der.data(), &length, digest.data(), digest.size()) == 1, "sign");
  const unsigned char* p = der.data();
  std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG_free>> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length)));
  Check(sig != nullptr, "signature decoding");
  Bytes out = ToBytes(ECDSA_SIG_get0_r(sig.get()), 32);
  const Bytes s = ToBytes(ECDSA_SIG_get0_s(sig.get()), 32);
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

std::vector<std::uint8_t> EcKey::Agree(std::span<const std::uint8_t> peerPoint) const {
  PkeyPtr peer = PublicKeyFromPoint(peerPoint);
  if (peer == nullptr) return {};
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey_.get(), nullptr));
  Check(ctx != nullptr && EVP_PKEY_derive_init(ctx.get()) == 1, "derive init");
  if (EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) {
    ERR_clear_error();
    return {};
  }
  std::size_t length = 0;
  Check(EVP_PKEY_derive(ctx.get(), nullptr, &length) == 1, "derive size");
  Bytes secret(length);
  Check(EVP_PKEY_derive(ctx.get(), secret.data(), &length) == 1, "derive");
  secret.resize(length);
  return secret;
}

std::vector<std::uint8_t> EcKey::SignForCertificate(std::span<const std::uint8_t> message) const {
  GroupPtr group = P256();
  BnCtxPtr ctx(BN_CTX_new());
  Check(ctx != nullptr, "BN_CTX");
  const BIGNUM* n = EC_GROUP_get0_order(group.get());
  const Bytes hash = Sha256(message);
  BnPtr z = FromBytes(hash);
  BnPtr d = FromBytes(scalar_);
  BnPtr k(BN_new()), r(BN_new()), s(BN_new()), x(BN_new()), kInverse(BN_new());
  PointPtr point(EC_POINT_new(group.get()));
  Check(k && r && s && x && kInverse && point, "allocation");
  // The nonce is a hash of the key and the message (distinct messages, distinct
  // nonces); retried until r and s both take exactly 32 bytes with the top bit
  // clear, which fixes the DER length at 70.
  for (std::uint32_t counter = 0;; ++counter) {
    Bytes material = Text("vela-card nonce|");
    material.insert(material.end(), scalar_.begin(), scalar_.end());
    material.insert(material.end(), hash.begin(), hash.end());
    for (int i = 0; i < 4; ++i) material.push_back(static_cast<std::uint8_t>(counter >> (8 * i)));
    BnPtr candidate = FromBytes(Sha256(material));
    Check(BN_mod(k.get(), candidate.get(), n, ctx.get()) == 1, "nonce");
    if (BN_is_zero(k.get())) continue;
    Check(EC_POINT_mul(group.get(), point.get(), k.get(), nullptr, nullptr, ctx.get()) == 1 &&
              EC_POINT_get_affine_coordinates(group.get(), point.get(), x.get(), nullptr, ctx.get()) == 1 &&
              BN_mod(r.get(), x.get(), n, ctx.get()) == 1,
          "r");
    Check(BN_mod_inverse(kInverse.get(), k.get(), n, ctx.get()) != nullptr &&
              BN_mod_mul(s.get(), r.get(), d.get(), n, ctx.get()) == 1 &&
              BN_mod_add(s.get(), s.get(), z.get(), n, ctx.get()) == 1 &&
              BN_mod_mul(s.get(), s.get(), kInverse.get(), n, ctx.get()) == 1,
          "s");
    const auto fits = [](const BIGNUM* v) { return BN_num_bits(v) >= 249 && BN_num_bits(v) <= 255; };
    if (!fits(r.get()) || !fits(s.get())) continue;
    return Tlv(0x30, Cat({Tlv(0x02, ToBytes(r.get(), 32)), Tlv(0x02, ToBytes(s.get(), 32))}));
  }
}

namespace {

Bytes BuildCertificate(const CertificateRequest& request, const EcKey& subject, const std::string& issuerName,
                       const EcKey& issuerKey);

}  // namespace

std::vector<std::uint8_t> MakeCertificate(const CertificateRequest& request, const EcKey& subject,
                                          const std::string& issuerName, const EcKey& issuerKey) {
  // Certificates are pure functions of their inputs, and the padding search
  // signs a dozen times; tests make many cards from the same few seeds.
  static std::mutex mutex;
  static std::map<Bytes, Bytes> made;
  Bytes key = Text(request.commonName + "|" + std::to_string(request.serialNumber) + "|" +
                   std::to_string(static_cast<int>(request.use)) + "|" + std::to_string(request.size) + "|" +
                   std::to_string(request.generation) + "|" + request.email + "|" + issuerName + "|");
  key.insert(key.end(), subject.publicPoint().begin(), subject.publicPoint().end());
  key.insert(key.end(), issuerKey.publicPoint().begin(), issuerKey.publicPoint().end());
  {
    std::lock_guard lock(mutex);
    if (const auto it = made.find(key); it != made.end()) return it->second;
  }
  Bytes der = BuildCertificate(request, subject, issuerName, issuerKey);
  std::lock_guard lock(mutex);
  made.emplace(std::move(key), der);
  return der;
}

namespace {

Bytes BuildCertificate(const CertificateRequest& request, const EcKey& subject, const std::string& issuerName,
                       const EcKey& issuerKey) {
  const std::size_t natural =
      Certificate(request, request.commonName, subject, issuerName, issuerKey, -1).size();
  if (request.size == 0 || request.size == natural) {
    return Certificate(request, request.commonName, subject, issuerName, issuerKey, -1);
  }
  // The comment extension costs at least 17 bytes. Lengths crossing 128 or 256
  // grow by two at once, so a size skipped by the filler is reached with one
  // more character in the common name.
  const std::size_t smallest = natural + 17;
  if (request.size < smallest) {
    throw std::runtime_error("certificate of " + std::to_string(request.size) + " bytes is below the smallest (" +
                             std::to_string(natural) + " or at least " + std::to_string(smallest) + ") for " +
                             request.commonName);
  }
  const int estimate = static_cast<int>(request.size - smallest);
  for (int extra = 0; extra < 3; ++extra) {
    const std::string name = request.commonName + std::string(static_cast<std::size_t>(extra), ' ');
    for (int padding = std::max(0, estimate - 12); padding <= estimate; ++padding) {
      Bytes der = Certificate(request, name, subject, issuerName, issuerKey, padding);
      if (der.size() == request.size) return der;
      if (der.size() > request.size) break;
    }
  }
  throw std::runtime_error("no certificate of exactly " + std::to_string(request.size) + " bytes");
}

}  // namespace

PkeyPtr PublicKeyFromPoint(std::span<const std::uint8_t> point) {
  if (point.size() != 65 || point[0] != 0x04) return nullptr;
  GroupPtr group = P256();
  PointPtr decoded(EC_POINT_new(group.get()));
  Check(decoded != nullptr, "allocation");
  // Decoding refuses a point that is not on the curve.
  if (EC_POINT_oct2point(group.get(), decoded.get(), point.data(), point.size(), nullptr) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  return PkeyFromParams(nullptr, point);
}

}  // namespace vela::emu
