// Agreement and derivation end to end on the emulated card: whatever the
// module derives equals what OpenSSL derives from the peer's private key and
// the card's public key.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "core/card_context.h"
#include "core/entry_points.h"
#include "core/secure_wipe.h"
#include "emulated_card.h"
#include "freed_memory.h"
#include "openssl_reference.h"
#include "test_host.h"

namespace vela::test {
namespace {

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes WideName(const std::u16string& name) {
  Bytes bytes((name.size() + 1) * 2);
  std::memcpy(bytes.data(), name.c_str(), bytes.size());
  return bytes;
}

class CryptoEmulated : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(host_.Acquire(), 0u);
    const std::string pin = card_->personalisation().userPin;
    ASSERT_EQ(CardAuthenticateEx(host_.get(), ROLE_USER, 0, reinterpret_cast<BYTE*>(const_cast<char*>(pin.data())),
                                 static_cast<DWORD>(pin.size()), nullptr, nullptr, nullptr),
              0u);
  }
  void TearDown() override { host_.Release(); }

  Bytes Derive(BYTE slot, const char16_t* kdf, std::vector<BCryptBuffer> buffers) {
    BCryptBufferDesc list{0, static_cast<ULONG>(buffers.size()), buffers.data()};
    Bytes out(64);
    CARD_DERIVE_KEY info{};
    info.dwVersion = 2;
    info.pwszKDF = kdf;
    info.bSecretAgreementIndex = slot;
    info.pParameterList = &list;
    info.pbDerivedKey = out.data();
    info.cbDerivedKey = static_cast<DWORD>(out.size());
    EXPECT_EQ(CardDeriveKey(host_.get(), &info), 0u);
    out.resize(info.cbDerivedKey);
    return out;
  }

  EmulatedCard card_;
  TestHost host_{card_.handle()};
};

TEST_F(CryptoEmulated, EveryKeyExchangeContainerAgreesAndDerivesAsOpenssl) {
  struct Container {
    BYTE index;
    BYTE keyRef;
  };
  Bytes prepend = {0x01, 0x02, 0x03}, append = {0x7F}, hmacKey(40, 0x4B), seed(64), label = {'m', 's', 0};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<BYTE>(i * 3);
  const struct {
    const char16_t* name;
    const char* openssl;
  } hashes[] = {{u"MD5", "MD5"}, {u"SHA1", "SHA1"}, {u"SHA256", "SHA256"}, {u"SHA384", "SHA384"},
                {u"SHA512", "SHA512"}};

  for (const Container& c : {Container{4, 0x81}, Container{5, 0x81}, Container{6, 0x85}}) {
    const Pkey peer = FreshPeerKey();
    ASSERT_TRUE(peer);
    std::vector<BYTE> blob = PeerKeyBlob(peer.get());
    CARD_DH_AGREEMENT_INFO agreement{};
    agreement.dwVersion = 2;
    agreement.bContainerIndex = c.index;
    agreement.dwPublicKey = static_cast<DWORD>(blob.size());
    agreement.pbPublicKey = blob.data();
    ASSERT_EQ(CardConstructDHAgreement(host_.get(), &agreement), 0u) << int{c.index};
    const BYTE slot = agreement.bSecretAgreementIndex;
    const Bytes secret = ReferenceAgree(peer.get(), card_->Key(c.keyRef));
    ASSERT_EQ(secret.size(), 32u);
    const Bytes message = Join({prepend, secret, append});

    for (const auto& hash : hashes) {
      Bytes name = WideName(hash.name);
      const BCryptBuffer hashName{static_cast<ULONG>(name.size()), KDF_HASH_ALGORITHM, name.data()};
      const BCryptBuffer before{3, KDF_SECRET_PREPEND, prepend.data()};
      const BCryptBuffer after{1, KDF_SECRET_APPEND, append.data()};
      const BCryptBuffer key{static_cast<ULONG>(hmacKey.size()), KDF_HMAC_KEY, hmacKey.data()};
      EXPECT_EQ(ToHex(Derive(slot, u"HASH", {hashName, before, after})),
                ToHex(ReferenceDigest(hash.openssl, message)))
          << int{c.index} << " " << hash.openssl;
      EXPECT_EQ(ToHex(Derive(slot, u"HMAC", {hashName, before, after})),
                ToHex(ReferenceHmac(hash.openssl, secret, message)));
      EXPECT_EQ(ToHex(Derive(slot, u"HMAC", {hashName, before, after, key})),
                ToHex(ReferenceHmac(hash.openssl, hmacKey, message)));
    }
    const BCryptBuffer tlsLabel{static_cast<ULONG>(label.size()), KDF_TLS_PRF_LABEL, label.data()};
    const BCryptBuffer tlsSeed{64, KDF_TLS_PRF_SEED, seed.data()};
    EXPECT_EQ(ToHex(Derive(slot, u"TLS_PRF", {tlsLabel, tlsSeed})),
              ToHex(ReferenceTlsPrf("MD5-SHA1", secret, Join({Bytes{'m', 's'}, seed}), 48)));
  }
}

// The agreed secret passes through the transport's copy of the card's
// answer, an agreement slot and the derivations: no block the heap gets back
// holds it, from the agreement to the end of the context (one agreement
// destroyed, one left for CardDeleteContext).
TEST_F(CryptoEmulated, AgreedSecretIsWipedBeforeItsMemoryIsFreed) {
  if (!FreedMemoryWatch::available()) GTEST_SKIP() << "needs a sanitizer's allocator hooks";
  const Pkey peer = FreshPeerKey();
  std::vector<BYTE> blob = PeerKeyBlob(peer.get());
  // Known before the agreement, so that the watch covers all of it; the
  // reference's own copy is wiped before it is freed.
  std::array<std::uint8_t, 32> secret{};
  Bytes secretDigest;
  {
    Bytes reference = ReferenceAgree(peer.get(), card_->Key(0x81));
    ASSERT_EQ(reference.size(), secret.size());
    std::copy(reference.begin(), reference.end(), secret.begin());
    secretDigest = ReferenceDigest("SHA256", reference);
    SecureWipe(reference.data(), reference.size());
  }
  Bytes sha256 = WideName(u"SHA256"), label = {'m', 's', 0}, seed(64, 0x5D);
  const BCryptBuffer hashName{static_cast<ULONG>(sha256.size()), KDF_HASH_ALGORITHM, sha256.data()};
  const BCryptBuffer tlsLabel{static_cast<ULONG>(label.size()), KDF_TLS_PRF_LABEL, label.data()};
  const BCryptBuffer tlsSeed{static_cast<ULONG>(seed.size()), KDF_TLS_PRF_SEED, seed.data()};

  FreedMemoryWatch watch(secret);
  int seen = 0;
  const auto newHits = [&] {
    const int hits = watch.Hits() - seen;
    seen += hits;
    return hits;
  };
  BYTE slots[2] = {};
  for (BYTE i = 0; i < 2; ++i) {
    CARD_DH_AGREEMENT_INFO agreement{};
    agreement.dwVersion = 2;
    agreement.bContainerIndex = static_cast<BYTE>(4 + i);  // both key 81
    agreement.dwPublicKey = static_cast<DWORD>(blob.size());
    agreement.pbPublicKey = blob.data();
    ASSERT_EQ(CardConstructDHAgreement(host_.get(), &agreement), 0u);
    slots[i] = agreement.bSecretAgreementIndex;
  }
  EXPECT_EQ(newHits(), 0) << "CardConstructDHAgreement";
  // The card agreed the secret the watch looks for.
  ASSERT_EQ(Derive(slots[0], u"HASH", {hashName}), secretDigest);
  Derive(slots[0], u"HMAC", {hashName});
  Derive(slots[0], u"TLS_PRF", {tlsLabel, tlsSeed});
  EXPECT_EQ(newHits(), 0) << "CardDeriveKey";
  ASSERT_EQ(CardDestroyDHAgreement(host_.get(), slots[0], 0), 0u);
  EXPECT_EQ(newHits(), 0) << "CardDestroyDHAgreement";
  host_.Release();
  EXPECT_EQ(newHits(), 0) << "CardDeleteContext";
}

TEST_F(CryptoEmulated, CardRefusesAPointOffTheCurve) {
  const Pkey peer = FreshPeerKey();
  std::vector<BYTE> blob = PeerKeyBlob(peer.get());
  blob.back() ^= 0x01;
  CARD_DH_AGREEMENT_INFO agreement{};
  agreement.dwVersion = 2;
  agreement.bContainerIndex = 4;
  agreement.dwPublicKey = static_cast<DWORD>(blob.size());
  agreement.pbPublicKey = blob.data();
  EXPECT_EQ(CardConstructDHAgreement(host_.get(), &agreement), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(agreement.bSecretAgreementIndex, 0xFF);
}

}  // namespace
}  // namespace vela::test
