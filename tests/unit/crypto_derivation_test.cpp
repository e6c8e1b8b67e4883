#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>

#include "agreement_host.h"
#include "openssl_reference.h"

namespace vela::test {
namespace {

const std::string kSecretHex = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";
const Bytes kSecret = Hex(kSecretHex);

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A BCryptBufferDesc that owns what its buffers point to.
class Parameters {
 public:
  Parameters& Add(ULONG type, Bytes bytes) {
    storage_.push_back(std::move(bytes));
    buffers_.push_back({static_cast<ULONG>(storage_.back().size()), type, storage_.back().data()});
    return *this;
  }
  Parameters& HashName(const std::u16string& name) {
    Bytes bytes((name.size() + 1) * 2);
    std::memcpy(bytes.data(), name.c_str(), bytes.size());
    return Add(KDF_HASH_ALGORITHM, std::move(bytes));
  }
  Parameters& Label(const std::string& label) {
    Bytes bytes(label.begin(), label.end());
    bytes.push_back(0);
    return Add(KDF_TLS_PRF_LABEL, std::move(bytes));
  }
  BCryptBufferDesc* get() {
    desc_ = {0, static_cast<ULONG>(buffers_.size()), buffers_.data()};
    return &desc_;
  }
  std::vector<BCryptBuffer>& buffers() { return buffers_; }

 private:
  std::deque<Bytes> storage_;
  std::vector<BCryptBuffer> buffers_;
  BCryptBufferDesc desc_{};
};

class CryptoDerivation : public AgreementHost {
 protected:
  void SetUp() override {
    AgreementHost::SetUp();
    slot_ = Agree(kSecretHex);
  }

  CARD_DERIVE_KEY Request(const char16_t* kdf, Parameters* parameters, Bytes* out, DWORD version = 2) {
    CARD_DERIVE_KEY info{};
    info.dwVersion = version;
    info.pwszKDF = kdf;
    info.bSecretAgreementIndex = slot_;
    info.pParameterList = parameters != nullptr ? parameters->get() : nullptr;
    if (out != nullptr) {
      info.pbDerivedKey = out->data();
      info.cbDerivedKey = static_cast<DWORD>(out->size());
    }
    return info;
  }

  DWORD Derive(CARD_DERIVE_KEY* info) {
    card_.ExpectSelectApplication();
    return CardDeriveKey(host_.get(), info);
  }

  // Derives into a 100-byte buffer and returns the bytes written.
  Bytes DeriveBytes(const char16_t* kdf, Parameters* parameters, DWORD flags = 0) {
    Bytes out(100, 0xEE);
    CARD_DERIVE_KEY info = Request(kdf, parameters, &out);
    info.dwFlags = flags;
    EXPECT_EQ(Derive(&info), 0u);
    out.resize(info.cbDerivedKey);
    return out;
  }

  BYTE slot_ = 0xFF;
};

struct NamedHash {
  const char16_t* name;
  const char* openssl;
};
const NamedHash kHashes[] = {
    {u"MD5", "MD5"}, {u"SHA1", "SHA1"}, {u"SHA256", "SHA256"}, {u"SHA384", "SHA384"}, {u"SHA512", "SHA512"}};

TEST_F(CryptoDerivation, HashOfTheBareSecretIsSha1) {
  EXPECT_EQ(ToHex(DeriveBytes(u"HASH", nullptr)), ToHex(ReferenceDigest("SHA1", kSecret)));

  // Version 1 with no buffer: the module allocates one of the result's size.
  CARD_DERIVE_KEY info = Request(u"HASH", nullptr, nullptr, 1);
  ASSERT_EQ(Derive(&info), 0u);
  ASSERT_NE(info.pbDerivedKey, nullptr);
  EXPECT_EQ(info.cbDerivedKey, 20u);
  EXPECT_EQ(ToHex({info.pbDerivedKey, info.cbDerivedKey}), ToHex(ReferenceDigest("SHA1", kSecret)));
  HostRelease(info.pbDerivedKey);
}

TEST_F(CryptoDerivation, EveryHashAndHmacAroundPrependAndAppend) {
  const Bytes prepend1 = Hex("F1F2F3"), prepend2 = Hex("E1E2"), append = Hex("D1D2D3");
  const Bytes message = Join({prepend1, prepend2, kSecret, append});
  const Bytes hmacKey = Text("an explicit HMAC key");
  for (const NamedHash& hash : kHashes) {
    Parameters parameters;
    parameters.Add(KDF_SECRET_PREPEND, prepend1).HashName(hash.name).Add(KDF_SECRET_APPEND, append);
    parameters.Add(KDF_SECRET_PREPEND, prepend2).Add(KDF_SECRET_HANDLE, {});
    EXPECT_EQ(ToHex(DeriveBytes(u"HASH", &parameters)), ToHex(ReferenceDigest(hash.openssl, message))) << hash.openssl;
    // Without a key of its own the HMAC is keyed with the secret, flag or not.
    EXPECT_EQ(ToHex(DeriveBytes(u"HMAC", &parameters)), ToHex(ReferenceHmac(hash.openssl, kSecret, message)));
    EXPECT_EQ(ToHex(DeriveBytes(u"HMAC", &parameters, KDF_USE_SECRET_AS_HMAC_KEY_FLAG)),
              ToHex(ReferenceHmac(hash.openssl, kSecret, message)));
    parameters.Add(KDF_HMAC_KEY, Text("replaced")).Add(KDF_HMAC_KEY, hmacKey);
    EXPECT_EQ(ToHex(DeriveBytes(u"HMAC", &parameters)), ToHex(ReferenceHmac(hash.openssl, hmacKey, message)));
  }
}

TEST_F(CryptoDerivation, OutputRule) {
  Parameters sha256;
  sha256.HashName(u"SHA256");
  const Bytes digest = ReferenceDigest("SHA256", kSecret);
  struct Case {
    DWORD capacity;
    DWORD expectedLength;
  };
  for (const Case& c : {Case{16, 16}, Case{100, 32}, Case{32, 32}}) {
    Bytes out(c.capacity, 0xEE);
    CARD_DERIVE_KEY info = Request(u"HASH", &sha256, &out);
    ASSERT_EQ(Derive(&info), 0u);
    EXPECT_EQ(info.cbDerivedKey, c.expectedLength);
    EXPECT_EQ(ToHex({out.data(), c.expectedLength}), ToHex({digest.data(), c.expectedLength}));
    if (c.capacity > c.expectedLength) {
      EXPECT_EQ(out[c.expectedLength], 0xEE);
    }
  }

  // Size only: nothing written, whatever the buffer.
  Parameters sha384;
  sha384.HashName(u"SHA384");
  for (const char16_t* kdf : {u"HASH", u"HMAC"}) {
    Bytes out(4, 0xEE);
    CARD_DERIVE_KEY info = Request(kdf, &sha384, &out);
    info.dwFlags = CARD_BUFFER_SIZE_ONLY;
    ASSERT_EQ(Derive(&info), 0u);
    EXPECT_EQ(info.cbDerivedKey, 48u);
    EXPECT_EQ(out, Bytes(4, 0xEE));
  }
  // With another bit beside it the derivation runs in full; the key handle flag has no effect.
  for (const DWORD flags : {CARD_BUFFER_SIZE_ONLY | KDF_USE_SECRET_AS_HMAC_KEY_FLAG, CARD_RETURN_KEY_HANDLE}) {
    Bytes out(48, 0xEE);
    CARD_DERIVE_KEY info = Request(u"HASH", &sha384, &out);
    info.dwFlags = flags;
    info.hKey = 77;
    ASSERT_EQ(Derive(&info), 0u);
    EXPECT_EQ(ToHex(out), ToHex(ReferenceDigest("SHA384", kSecret)));
    EXPECT_EQ(info.hKey, 77u);
  }
}

TEST_F(CryptoDerivation, TlsPrfMatchesOpenssl) {
  Bytes seed(64);
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<BYTE>(0x80 + i);
  Parameters parameters;
  // Prepend, append and an HMAC key play no part in the PRF.
  parameters.Label("master secret").Add(KDF_TLS_PRF_SEED, seed).Add(KDF_SECRET_PREPEND, Hex("01"));
  parameters.Add(KDF_HMAC_KEY, Hex("02"));
  const Bytes expected = ReferenceTlsPrf("MD5-SHA1", kSecret, Join({Text("master secret"), seed}), 48);
  EXPECT_EQ(ToHex(DeriveBytes(u"TLS_PRF", &parameters)), ToHex(expected));

  CARD_DERIVE_KEY info = Request(u"TLS_PRF", &parameters, nullptr, 1);
  ASSERT_EQ(Derive(&info), 0u);
  EXPECT_EQ(info.cbDerivedKey, 48u);
  EXPECT_EQ(ToHex({info.pbDerivedKey, 48}), ToHex(expected));
  HostRelease(info.pbDerivedKey);

  Bytes small(47, 0xEE);
  info = Request(u"TLS_PRF", &parameters, &small);
  EXPECT_EQ(Derive(&info), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(small, Bytes(47, 0xEE));

  // A seed of another length is passed over, so the seed is missing.
  Parameters shortSeed;
  shortSeed.Label("master secret").Add(KDF_TLS_PRF_SEED, Bytes(32, 1));
  Parameters noLabel;
  noLabel.Add(KDF_TLS_PRF_SEED, seed);
  for (Parameters* p : {&shortSeed, &noLabel}) {
    Bytes out(48);
    info = Request(u"TLS_PRF", p, &out);
    EXPECT_EQ(Derive(&info), SCARD_E_INVALID_PARAMETER);
  }
}

TEST_F(CryptoDerivation, MissingOutputBuffer) {
  Parameters tls;
  tls.Label("key expansion").Add(KDF_TLS_PRF_SEED, Bytes(64, 3));
  struct Case {
    const char16_t* kdf;
    DWORD expected;
  };
  for (const Case& c : {Case{u"HASH", SCARD_E_NO_MEMORY}, Case{u"HMAC", SCARD_E_INVALID_PARAMETER},
                        Case{u"TLS_PRF", SCARD_E_INVALID_PARAMETER}}) {
    CARD_DERIVE_KEY info = Request(c.kdf, &tls, nullptr, 2);
    EXPECT_EQ(Derive(&info), c.expected) << "version 2";
    info = Request(c.kdf, &tls, nullptr, 1);
    HostHeap::FailAllocations(0, 1);
    EXPECT_EQ(Derive(&info), c.expected) << "allocation failed";
    HostHeap::FailAllocations(0, 0);
    EXPECT_EQ(info.pbDerivedKey, nullptr);
  }
}

TEST_F(CryptoDerivation, RefusedRequests) {
  Bytes out(64);
  struct Case {
    const char* name;
    void (*breakIt)(CARD_DERIVE_KEY&, CardContext&);
    DWORD expected;
  };
  const Case cases[] = {
      {"version 0", [](auto& i, auto&) { i.dwVersion = 0; }, ERROR_REVISION_MISMATCH},
      {"version 3", [](auto& i, auto&) { i.dwVersion = 3; }, ERROR_REVISION_MISMATCH},
      {"version before KDF", [](auto& i, auto&) { i.dwVersion = 0; i.pwszKDF = nullptr; }, ERROR_REVISION_MISMATCH},
      {"no KDF", [](auto& i, auto&) { i.pwszKDF = nullptr; }, SCARD_E_INVALID_PARAMETER},
      {"flag 2", [](auto& i, auto&) { i.dwFlags = 2; }, SCARD_E_INVALID_PARAMETER},
      {"flag 0x80000000", [](auto& i, auto&) { i.dwFlags = 0x80000000; }, SCARD_E_INVALID_PARAMETER},
      {"slot 10", [](auto& i, auto&) { i.bSecretAgreementIndex = 10; }, SCARD_E_INVALID_PARAMETER},
      // The slot's bound comes before the PIN: a bound one too loose would
      // read past the table and answer as for a missing PIN.
      {"slot 10 before PIN", [](auto& i, auto& c) { i.bSecretAgreementIndex = 10; c.userAuthenticated = false; },
       SCARD_E_INVALID_PARAMETER},
      {"slot 255 before PIN", [](auto& i, auto& c) { i.bSecretAgreementIndex = 255; c.userAuthenticated = false; },
       SCARD_E_INVALID_PARAMETER},
      {"lower-case KDF", [](auto& i, auto&) { i.pwszKDF = u"hash"; }, SCARD_E_INVALID_PARAMETER},
      {"KDF with a suffix", [](auto& i, auto&) { i.pwszKDF = u"HASH "; }, SCARD_E_INVALID_PARAMETER},
      {"no PIN", [](auto&, auto& c) { c.userAuthenticated = false; }, SCARD_W_SECURITY_VIOLATION},
      {"KDF before PIN", [](auto& i, auto& c) { i.pwszKDF = u"Hmac"; c.userAuthenticated = false; },
       SCARD_E_INVALID_PARAMETER},
      {"free slot", [](auto& i, auto&) { i.bSecretAgreementIndex = 9; }, SCARD_E_INVALID_PARAMETER},
      {"PIN before free slot", [](auto& i, auto& c) { i.bSecretAgreementIndex = 9; c.userAuthenticated = false; },
       SCARD_W_SECURITY_VIOLATION},
  };
  for (const Case& c : cases) {
    CARD_DERIVE_KEY info = Request(u"HASH", nullptr, &out);
    c.breakIt(info, *context());
    EXPECT_EQ(Derive(&info), c.expected) << c.name;
    context()->userAuthenticated = true;
  }
  card_.ExpectSelectApplication();
  EXPECT_EQ(CardDeriveKey(host_.get(), nullptr), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(CardDeriveKey(nullptr, nullptr), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(context()->agreements[slot_].inUse, 1u) << "a failure leaves the slot";
}

TEST_F(CryptoDerivation, RefusedParameterLists) {
  struct Case {
    const char* name;
    const char16_t* kdf;
    void (*build)(Parameters&);
    DWORD flags = 0;
  };
  const Case cases[] = {
      {"lower-case hash", u"HASH", [](Parameters& p) { p.HashName(u"sha256"); }},
      {"hyphenated hash", u"HMAC", [](Parameters& p) { p.HashName(u"SHA-256"); }},
      {"SHA224 has no name here", u"HASH", [](Parameters& p) { p.HashName(u"SHA224"); }},
      {"unknown type", u"HASH", [](Parameters& p) { p.Add(7, Bytes(4)); }},
      {"unknown type after a good one", u"TLS_PRF", [](Parameters& p) { p.HashName(u"SHA1").Add(0x10, {}); }},
      {"prepend over 512 in all", u"HASH",
       [](Parameters& p) { p.Add(KDF_SECRET_PREPEND, Bytes(300)).Add(KDF_SECRET_PREPEND, Bytes(213)); }},
      {"append over 512", u"HMAC", [](Parameters& p) { p.Add(KDF_SECRET_APPEND, Bytes(513)); }},
      {"HMAC key over 128", u"HMAC", [](Parameters& p) { p.Add(KDF_HMAC_KEY, Bytes(129, 1)); }},
      {"HMAC key with the secret flag", u"HMAC", [](Parameters& p) { p.Add(KDF_HMAC_KEY, Bytes(16, 1)); },
       KDF_USE_SECRET_AS_HMAC_KEY_FLAG},
      {"label over 255", u"TLS_PRF",
       [](Parameters& p) { p.Label(std::string(256, 'L')).Add(KDF_TLS_PRF_SEED, Bytes(64)); }},
      {"hash name over 127", u"HASH", [](Parameters& p) { p.HashName(std::u16string(128, u'S')); }},
      // Exactly at capacity and unterminated: nothing past the host's bytes is read.
      {"unterminated label", u"TLS_PRF",
       [](Parameters& p) { p.Add(KDF_TLS_PRF_LABEL, Bytes(256, 'L')).Add(KDF_TLS_PRF_SEED, Bytes(64)); }},
      {"unterminated hash name", u"HASH", [](Parameters& p) { p.Add(KDF_HASH_ALGORITHM, Bytes(256, 'S')); }},
      {"null buffer", u"HASH", [](Parameters& p) { p.Add(KDF_SECRET_PREPEND, Bytes(4)).buffers()[0].pvBuffer = nullptr; }},
  };
  for (const Case& c : cases) {
    Parameters parameters;
    c.build(parameters);
    Bytes out(64, 0xEE);
    CARD_DERIVE_KEY info = Request(c.kdf, &parameters, &out);
    info.dwFlags = c.flags;
    EXPECT_EQ(Derive(&info), SCARD_E_INVALID_PARAMETER) << c.name;
    EXPECT_EQ(out, Bytes(64, 0xEE)) << c.name;
  }

  // Entries but no array to hold them.
  BCryptBufferDesc noArray{0, 2, nullptr};
  Bytes out(64);
  CARD_DERIVE_KEY info = Request(u"HASH", nullptr, &out);
  info.pParameterList = &noArray;
  EXPECT_EQ(Derive(&info), SCARD_E_INVALID_PARAMETER);
  // At the capacities everything is accepted.
  Parameters full;
  full.Add(KDF_SECRET_PREPEND, Bytes(512, 1)).Add(KDF_SECRET_APPEND, Bytes(512, 2)).Add(KDF_HMAC_KEY, Bytes(128, 3));
  full.HashName(std::u16string(u"SHA512"));
  EXPECT_EQ(ToHex(DeriveBytes(u"HMAC", &full)),
            ToHex(ReferenceHmac("SHA512", Bytes(128, 3), Join({Bytes(512, 1), kSecret, Bytes(512, 2)}))));
  Parameters longestLabel;
  longestLabel.Label(std::string(255, 'L')).Add(KDF_TLS_PRF_SEED, Bytes(64, 4));
  EXPECT_EQ(ToHex(DeriveBytes(u"TLS_PRF", &longestLabel)),
            ToHex(ReferenceTlsPrf("MD5-SHA1", kSecret, Join({Bytes(255, 'L'), Bytes(64, 4)}), 48)));
}

// A page of memory followed by one that cannot be read: bytes placed at the
// page's very end are what a host has at the end of its memory.
class GuardedPage {
 public:
  GuardedPage() {
    size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* memory = mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = memory == MAP_FAILED ? nullptr : static_cast<BYTE*>(memory);
    if (base_ != nullptr) mprotect(base_ + size_, size_, PROT_NONE);
  }
  ~GuardedPage() {
    if (base_ != nullptr) munmap(base_, 2 * size_);
  }
  GuardedPage(const GuardedPage&) = delete;
  GuardedPage& operator=(const GuardedPage&) = delete;

  bool valid() const { return base_ != nullptr; }
  // Copies `bytes` to end right before the unreadable page.
  BYTE* AtEnd(const Bytes& bytes) {
    BYTE* at = base_ + size_ - bytes.size();
    std::memcpy(at, bytes.data(), bytes.size());
    return at;
  }

 private:
  BYTE* base_ = nullptr;
  std::size_t size_ = 0;
};

Bytes Wide(const std::u16string& text, bool terminated) {
  Bytes bytes((text.size() + (terminated ? 1 : 0)) * 2, 0);
  std::memcpy(bytes.data(), text.data(), text.size() * 2);
  return bytes;
}

// The hash name and the label are read within their buffer's cbBuffer bytes
// only: a string whose terminator is not inside them is refused, and the
// bytes after it are never touched (here they cannot be read at all).
TEST_F(CryptoDerivation, StringParametersEndInsideTheirBuffers) {
  const Bytes seed(64, 7);
  struct Case {
    const char* name;
    const char16_t* kdf;
    ULONG type;
    Bytes bytes;
    ULONG cbBuffer;  // 0: the bytes' length
    DWORD expected;
  };
  const Case cases[] = {
      {"unterminated hash name", u"HASH", KDF_HASH_ALGORITHM, Wide(u"SHA1", false), 0, SCARD_E_INVALID_PARAMETER},
      {"unterminated label", u"TLS_PRF", KDF_TLS_PRF_LABEL, Text("abcd"), 0, SCARD_E_INVALID_PARAMETER},
      {"terminator past cbBuffer", u"HASH", KDF_HASH_ALGORITHM, Wide(u"SHA256", true), 12, SCARD_E_INVALID_PARAMETER},
      {"half a terminator inside", u"HASH", KDF_HASH_ALGORITHM, Wide(u"SHA1", true), 9, SCARD_E_INVALID_PARAMETER},
      {"label terminator past cbBuffer", u"TLS_PRF", KDF_TLS_PRF_LABEL, Text(std::string("ms") + '\0'), 2,
       SCARD_E_INVALID_PARAMETER},
      {"hash name ending at the buffer's end", u"HASH", KDF_HASH_ALGORITHM, Wide(u"SHA256", true), 0, 0},
      {"label ending at the buffer's end", u"TLS_PRF", KDF_TLS_PRF_LABEL, Text(std::string("ms") + '\0'), 0, 0},
  };
  for (const Case& c : cases) {
    GuardedPage page;
    ASSERT_TRUE(page.valid());
    std::vector<BCryptBuffer> buffers = {
        {c.cbBuffer != 0 ? c.cbBuffer : static_cast<ULONG>(c.bytes.size()), c.type, page.AtEnd(c.bytes)}};
    buffers.push_back({64, KDF_TLS_PRF_SEED, const_cast<BYTE*>(seed.data())});
    BCryptBufferDesc list{0, static_cast<ULONG>(buffers.size()), buffers.data()};
    Bytes out(64, 0xEE);
    CARD_DERIVE_KEY info = Request(c.kdf, nullptr, &out);
    info.pParameterList = &list;
    EXPECT_EQ(Derive(&info), c.expected) << c.name;
  }
}

TEST_F(CryptoDerivation, SlotServesUntilDestroyed) {
  const Bytes first = DeriveBytes(u"HASH", nullptr);
  EXPECT_EQ(DeriveBytes(u"HASH", nullptr), first);
  // Deauthentication keeps the slot; it serves again after the PIN.
  context()->userAuthenticated = false;
  Bytes out(20);
  CARD_DERIVE_KEY info = Request(u"HASH", nullptr, &out);
  EXPECT_EQ(Derive(&info), SCARD_W_SECURITY_VIOLATION);
  context()->userAuthenticated = true;
  EXPECT_EQ(DeriveBytes(u"HASH", nullptr), first);

  card_.ExpectSelectApplication();
  ASSERT_EQ(CardDestroyDHAgreement(host_.get(), slot_, 0), 0u);
  info = Request(u"HASH", nullptr, &out);
  EXPECT_EQ(Derive(&info), SCARD_E_INVALID_PARAMETER);
}

}  // namespace
}  // namespace vela::test
