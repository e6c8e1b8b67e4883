// The module's digest and MAC primitives beside OpenSSL's libcrypto, in one
// binary and one run. Names are PRIMITIVE/IMPLEMENTATION/BYTES, so the report
// can pair them: "module" is the module on the paths it chooses for this
// processor, "portable" the module forced to its portable code.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_report.h"
#include "crypto/digest.h"
#include "crypto/hmac.h"
#include "crypto/md5.h"
#include "crypto/sha_paths.h"
#include "crypto/tls_prf.h"

namespace vela::bench {
namespace {

std::vector<std::uint8_t> Message(std::size_t size) {
  std::vector<std::uint8_t> m(size);
  for (std::size_t i = 0; i < size; ++i) m[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return m;
}

const std::array<std::uint8_t, 32> kKey = [] {
  std::array<std::uint8_t, 32> k{};
  for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(0xA0 + i);
  return k;
}();

using ModuleDigest = void (*)(const std::uint8_t* data, std::size_t size, std::uint8_t* out);

struct Primitive {
  const char* name;
  ModuleDigest module;
  const char* opensslDigest;  // EVP name
  bool hmac;
  bool hasPaths;  // runs through the SHA paths
};

const Primitive kPrimitives[] = {
    {"SHA-1", [](const std::uint8_t* d, std::size_t n, std::uint8_t* o) { ShaHash(kSha1, d, n, o); }, "SHA1", false,
     true},
    {"SHA-256", [](const std::uint8_t* d, std::size_t n, std::uint8_t* o) { ShaHash(kSha256, d, n, o); }, "SHA256",
     false, true},
    {"SHA-512", [](const std::uint8_t* d, std::size_t n, std::uint8_t* o) { ShaHash(kSha512, d, n, o); }, "SHA512",
     false, true},
    {"MD5", [](const std::uint8_t* d, std::size_t n, std::uint8_t* o) { Md5Hash(d, n, o); }, "MD5", false, false},
    {"HMAC-SHA-256",
     [](const std::uint8_t* d, std::size_t n, std::uint8_t* o) { Hmac(kSha256, d, n, kKey.data(), kKey.size(), o); },
     "SHA256", true, true},
};

constexpr std::size_t kSizes[] = {64, 1024, 65536};

// Runs the module on the portable code for the length of one benchmark.
class PortableOnly {
 public:
  explicit PortableOnly(bool portable) : portable_(portable) {
    if (portable_) ForceShaPaths(ShaPaths{});
  }
  ~PortableOnly() {
    if (portable_) UseDetectedShaPaths();
  }

 private:
  bool portable_;
};

void RunModule(benchmark::State& state, ModuleDigest digest, std::size_t size, bool portable) {
  const PortableOnly paths(portable);
  const std::vector<std::uint8_t> message = Message(size);
  std::array<std::uint8_t, 64> out{};
  for (auto _ : state) {
    digest(message.data(), message.size(), out.data());
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// One reused context per run, as a caller that hashes often keeps one: the
// figure is OpenSSL's hashing, not its allocator.
void RunOpenSslDigest(benchmark::State& state, const char* name, std::size_t size) {
  const std::vector<std::uint8_t> message = Message(size);
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::array<std::uint8_t, 64> out{};
  unsigned int outLength = 0;
  int failures = 0;
  for (auto _ : state) {
    failures += EVP_DigestInit_ex2(ctx, md, nullptr) != 1;
    EVP_DigestUpdate(ctx, message.data(), message.size());
    EVP_DigestFinal_ex(ctx, out.data(), &outLength);
    benchmark::DoNotOptimize(out);
  }
  if (failures != 0) state.SkipWithError("OpenSSL refused");
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void RunOpenSslHmac(benchmark::State& state, const char* digestName, std::size_t size) {
  const std::vector<std::uint8_t> message = Message(size);
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  std::string digest = digestName;
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest.data(), 0), OSSL_PARAM_END};
  std::array<std::uint8_t, 64> out{};
  std::size_t outLength = 0;
  int failures = 0;
  for (auto _ : state) {
    failures += EVP_MAC_init(ctx, kKey.data(), kKey.size(), params) != 1;
    EVP_MAC_update(ctx, message.data(), message.size());
    EVP_MAC_final(ctx, out.data(), &outLength, out.size());
    benchmark::DoNotOptimize(out);
  }
  if (failures != 0) state.SkipWithError("OpenSSL refused");
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// The TLS 1.0 PRF as key derivation uses it: a 32-byte agreed secret, the
// master-secret label, a 64-byte seed, 48 bytes out.
constexpr char kLabel[] = "master secret";

void ModulePrf(const std::vector<std::uint8_t>& seed, std::uint8_t* out) {
  TlsPrf(kKey.data(), kKey.size(), seed.data(), seed.size(), reinterpret_cast<const std::uint8_t*>(kLabel),
         sizeof(kLabel) - 1, out, 48);
}

void RunModulePrf(benchmark::State& state, bool portable) {
  const PortableOnly paths(portable);
  const std::vector<std::uint8_t> seed = Message(64);
  std::array<std::uint8_t, 48> out{};
  for (auto _ : state) {
    ModulePrf(seed, out.data());
    benchmark::DoNotOptimize(out);
  }
}

// The context is given secret and seed once: parameters set again would add
// to the seed, not replace it.
void RunOpenSslPrf(benchmark::State& state) {
  const std::vector<std::uint8_t> seed = Message(64);
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr);
  EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
  std::string digest = "MD5-SHA1";
  std::vector<std::uint8_t> labelAndSeed(kLabel, kLabel + sizeof(kLabel) - 1);
  labelAndSeed.insert(labelAndSeed.end(), seed.begin(), seed.end());
  std::array<std::uint8_t, 32> secret = kKey;
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string("digest", digest.data(), 0),
      OSSL_PARAM_construct_octet_string("secret", secret.data(), secret.size()),
      OSSL_PARAM_construct_octet_string("seed", labelAndSeed.data(), labelAndSeed.size()), OSSL_PARAM_END};
  EVP_KDF_CTX_set_params(ctx, params);
  std::array<std::uint8_t, 48> out{};
  std::array<std::uint8_t, 48> expected{};
  ModulePrf(seed, expected.data());
  int failures = 0;
  for (auto _ : state) {
    failures += EVP_KDF_derive(ctx, out.data(), out.size(), nullptr) != 1;
    benchmark::DoNotOptimize(out);
  }
  if (failures != 0 || out != expected) state.SkipWithError("OpenSSL's PRF disagrees or fails");
  EVP_KDF_CTX_free(ctx);
  EVP_KDF_free(kdf);
}

}  // namespace

void RegisterDigestBenchmarks() {
  for (const Primitive& p : kPrimitives) {
    for (std::size_t size : kSizes) {
      const std::string suffix = "/" + std::to_string(size);
      benchmark::RegisterBenchmark((std::string(p.name) + "/module" + suffix).c_str(),
                                   [p, size](benchmark::State& s) { RunModule(s, p.module, size, false); });
      if (p.hasPaths) {
        benchmark::RegisterBenchmark((std::string(p.name) + "/portable" + suffix).c_str(),
                                     [p, size](benchmark::State& s) { RunModule(s, p.module, size, true); });
      }
      benchmark::RegisterBenchmark((std::string(p.name) + "/openssl" + suffix).c_str(),
                                   [p, size](benchmark::State& s) {
                                     if (p.hmac) {
                                       RunOpenSslHmac(s, p.opensslDigest, size);
                                     } else {
                                       RunOpenSslDigest(s, p.opensslDigest, size);
                                     }
                                   });
    }
  }
  benchmark::RegisterBenchmark("TLS-PRF/module/48", [](benchmark::State& s) { RunModulePrf(s, false); });
  benchmark::RegisterBenchmark("TLS-PRF/portable/48", [](benchmark::State& s) { RunModulePrf(s, true); });
  benchmark::RegisterBenchmark("TLS-PRF/openssl/48", RunOpenSslPrf);
}

}  // namespace vela::bench
