// sign: the card signs a hash through the module, and the signature is checked
// with OpenSSL against the certificate the module reads for the container.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "host/result_names.h"
#include "tool/pin_entry.h"

namespace vela::tool {
namespace {

constexpr std::size_t kMaxHash = 64;  // the longest block the card signs

// The digest of a file's content under an OpenSSL digest name.
bool HashFile(const std::string& path, const std::string& algorithm, std::vector<BYTE>* hash, std::string* error) {
  EVP_MD* md = EVP_MD_fetch(nullptr, algorithm.c_str(), nullptr);
  if (md == nullptr || EVP_MD_get_size(md) <= 0 || static_cast<std::size_t>(EVP_MD_get_size(md)) > kMaxHash) {
    EVP_MD_free(md);
    *error = "unknown or unsuitable --alg " + algorithm;
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    EVP_MD_free(md);
    *error = "cannot read " + path;
    return false;
  }
  hash->resize(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int length = 0;
  const bool ok = EVP_Digest(content.data(), content.size(), hash->data(), &length, md, nullptr) == 1;
  EVP_MD_free(md);
  if (!ok) *error = "cannot hash " + path;
  return ok;
}

// Whether r || s is a valid ECDSA signature of `hash` under the certificate's key.
bool SignatureVerifies(const std::vector<BYTE>& certificate, const std::vector<BYTE>& hash,
                       const std::vector<BYTE>& signature, std::string* subject) {
  if (signature.size() % 2 != 0 || signature.empty()) return false;
  const unsigned char* p = certificate.data();
  std::unique_ptr<X509, decltype(&X509_free)> x509(d2i_X509(nullptr, &p, static_cast<long>(certificate.size())),
                                                    X509_free);
  if (!x509) return false;
  char name[256] = {};
  X509_NAME_oneline(X509_get_subject_name(x509.get()), name, sizeof(name));
  *subject = name;
  const int half = static_cast<int>(signature.size() / 2);
  std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(ECDSA_SIG_new(), ECDSA_SIG_free);
  ECDSA_SIG_set0(sig.get(), BN_bin2bn(signature.data(), half, nullptr),
                 BN_bin2bn(signature.data() + half, half, nullptr));
  unsigned char* der = nullptr;
  const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new(X509_get0_pubkey(x509.get()), nullptr), EVP_PKEY_CTX_free);
  const bool ok = derLength > 0 && ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                  EVP_PKEY_verify(ctx.get(), der, static_cast<std::size_t>(derLength), hash.data(), hash.size()) == 1;
  OPENSSL_free(der);
  return ok;
}

int Sign(Args& args, Session& session) {
  constexpr const char* kUsage =
      "usage: sign --container N (--hash HEX | --file F [--alg sha256]) [--pin PIN | --no-pin]";
  const std::optional<std::string> containerText = args.Option("container");
  const std::optional<std::string> hashText = args.Option("hash");
  const std::optional<std::string> file = args.Option("file");
  const std::string algorithm = args.Option("alg").value_or("sha256");
  const bool noPin = args.Flag("no-pin");
  std::optional<std::string> pinGiven = args.Option("pin");
  if (!args.Positional().empty() || !args.error().empty() || !containerText || hashText.has_value() == file.has_value()) {
    session.Fail(args.error().empty() ? kUsage : args.error());
    return kExitUsage;
  }
  char* end = nullptr;
  const unsigned long container = std::strtoul(containerText->c_str(), &end, 0);
  if (end == containerText->c_str() || *end != '\0' || container > 255) {
    session.Fail("--container takes a number from 0 to 15");
    return kExitUsage;
  }
  std::vector<BYTE> hash;
  std::string error;
  if (hashText) {
    if (!host::ParseHex(*hashText, &hash) || hash.empty() || hash.size() > kMaxHash) {
      session.Fail("--hash takes 1 to 64 bytes in hexadecimal");
      return kExitUsage;
    }
  } else if (!HashFile(*file, algorithm, &hash, &error)) {
    return session.Fail(error);
  }

  if (!noPin) {
    Secret pin;
    if (!ReadSecret(pinGiven, "pin", "PIN: ", &pin, &error)) return session.Fail(error);
    if (VerifyPin(session, pin) != 0) return kExitFailure;
  }

  CARD_DATA* card = session.card();
  CARD_SIGNING_INFO info{};
  info.dwVersion = 2;
  info.bContainerIndex = static_cast<BYTE>(container);
  info.dwKeySpec = AT_ECDSA_P256;
  info.pbData = hash.data();
  info.cbData = static_cast<DWORD>(hash.size());
  const DWORD rc = session.Answer("CardSignData " + std::to_string(container), card->pfnCardSignData(card, &info));
  HostPtr<BYTE> owned(info.pbSignedData);
  Value& report = session.report();
  report.Set("container", static_cast<unsigned>(container));
  report.Set("hash", host::HexBytes(hash.data(), hash.size(), ""));
  if (rc != 0) return FailRefusal(session, "signing", rc);
  const std::vector<BYTE> signature(info.pbSignedData, info.pbSignedData + info.cbSignedData);
  report.Set("signature", host::HexBytes(signature.data(), signature.size(), ""));

  char name[8];
  std::snprintf(name, sizeof(name), "ksc%02lX", container);
  std::vector<BYTE> certificate;
  if (const DWORD read = session.ReadFile("mscp", name, &certificate); read != 0) {
    return session.Fail(std::string("cannot read the certificate mscp/") + name + ": " + host::ResultText(read));
  }
  std::string subject;
  const bool valid = SignatureVerifies(certificate, hash, signature, &subject);
  report.Set("certificate", std::string("mscp/") + name);
  report.Set("certificateSubject", subject);
  report.Set("signatureValid", valid);
  if (!valid) return session.Fail("the signature does not verify against the container's certificate");
  return kExitOk;
}

const RegisterCommand kSign{{"sign", "--container N (--hash HEX | --file F [--alg sha256]) [--pin PIN | --no-pin]",
                             "signs with a container's key and checks the signature with OpenSSL", Sign}};

}  // namespace
}  // namespace vela::tool
