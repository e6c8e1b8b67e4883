// HMAC over MD5 and the SHA family, P_hash and the TLS 1.0 pseudo-random
// function: published vectors and OpenSSL as a reference, the SHA-based ones
// on every SHA path.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/hmac.h"
#include "crypto/tls_prf.h"
#include "fake_card.h"
#include "openssl_reference.h"
#include "sha_paths_fixture.h"

namespace vela::test {
namespace {

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Random(std::mt19937& random, std::size_t length) {
  Bytes out(length);
  for (auto& b : out) b = static_cast<std::uint8_t>(random());
  return out;
}

Bytes ShaHmac(int id, const Bytes& key, const Bytes& text) {
  Bytes digest(static_cast<std::size_t>(ShaHashSize(id)));
  EXPECT_EQ(Hmac(id, text.data(), text.size(), key.data(), key.size(), digest.data()), 0);
  return digest;
}

Bytes Md5Hmac(const Bytes& key, const Bytes& text) {
  Bytes digest(kMd5HashSize);
  EXPECT_EQ(HmacMd5(text.data(), text.size(), key.data(), key.size(), digest.data()), 0);
  return digest;
}

const char* const kOpensslName[] = {"SHA1", "SHA224", "SHA256", "SHA384", "SHA512"};

class CryptoMacOnPath : public OnEveryShaPath {};
INSTANTIATE_TEST_SUITE_P(ShaPaths, CryptoMacOnPath, ::testing::ValuesIn(kEveryShaPath), ShaPathsName);

TEST_P(CryptoMacOnPath, HmacMd5AndSha1ReproduceRfc2202) {
  struct Case {
    Bytes md5Key, sha1Key, data;
    const char *md5, *sha1;
  };
  const Case cases[] = {
      {Bytes(16, 0x0b), Bytes(20, 0x0b), Text("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d",
       "b617318655057264e28bc0b6fb378c8ef146be00"},
      {Text("Jefe"), Text("Jefe"), Text("what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738",
       "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {Bytes(16, 0xaa), Bytes(20, 0xaa), Bytes(50, 0xdd), "56be34521d144c88dbb8c733f0e8b3f6",
       "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {Hex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
       Hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
       "697eaf0aca3a3aea3a75164746ffaa79", "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {Bytes(16, 0x0c), Bytes(20, 0x0c), Text("Test With Truncation"), "56461ef2342edc00f9bab995690efd4c",
       "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      // 80-byte keys: longer than the block, hashed first.
      {Bytes(80, 0xaa), Bytes(80, 0xaa), Text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd", "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {Bytes(80, 0xaa), Bytes(80, 0xaa),
       Text("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
       "6f630fad67cda0ee1fb1f562db3aa53e", "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  int number = 1;
  for (const Case& c : cases) {
    EXPECT_EQ(ToHex(Md5Hmac(c.md5Key, c.data)), ToHex(Hex(c.md5))) << "case " << number;
    EXPECT_EQ(ToHex(ShaHmac(kSha1, c.sha1Key, c.data)), ToHex(Hex(c.sha1))) << "case " << number;
    ++number;
  }
}

TEST_P(CryptoMacOnPath, HmacSha2ReproducesRfc4231) {
  struct Case {
    Bytes key, data;
    const char* expected[4];  // SHA-224, -256, -384, -512
  };
  const Case cases[] = {
      {Bytes(20, 0x0b),
       Text("Hi There"),
       {"896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22",
        "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
        "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6",
        "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4"
        "be9d914eeb61f1702e696c203a126854"}},
      {Text("Jefe"),
       Text("what do ya want for nothing?"),
       {"a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44",
        "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
        "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649",
        "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fd"
        "caeab1a34d4a6b4b636e070a38bce737"}},
      {Bytes(20, 0xaa),
       Bytes(50, 0xdd),
       {"7fb3cb3588c6c1f6ffa9694d7d6ad2649365b0c1f65d69d1ec8333ea",
        "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe",
        "88062608d3e6ad8a0aa2ace014c8a86f0aa635d947ac9febe83ef4e55966144b2a5ab39dc13814b94e3ab6e101a34f27",
        "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39bf3e848279a722c806b485a47e67c807"
        "b946a337bee8942674278859e13292fb"}},
      {Hex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
       Bytes(50, 0xcd),
       {"6c11506874013cac6a2abc1bb382627cec6a90d86efc012de7afec5a",
        "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b",
        "3e8a69b7783c25851933ab6290af6ca77a9981480850009cc5577c6e1f573b4e6801dd23c4a7d679ccf8a386c674cffb",
        "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3dba91ca5c11aa25eb4d679275cc5788063"
        "a5f19741120c4f2de2adebeb10a298dd"}},
      // Truncated to 128 bits in the RFC.
      {Bytes(20, 0x0c),
       Text("Test With Truncation"),
       {"0e2aea68a90c8d37c988bcdb9fca6fa8", "a3b6167473100ee06e0c796c2955552b", "3abf34c3503b2a23a46efc619baef897",
        "415fad6271580a531d4179bc891d87a6"}},
      {Bytes(131, 0xaa),
       Text("Test Using Larger Than Block-Size Key - Hash Key First"),
       {"95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e",
        "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
        "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952",
        "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e52"
        "95e64f73f63f0aec8b915a985d786598"}},
      {Bytes(131, 0xaa),
       Text("This is a test using a larger than block-size key and a larger than block-size data. The key needs "
            "to be hashed before being used by the HMAC algorithm."),
       {"3a854166ac5d9f023f54d517d0b39dbd946770db9c2b95c9f6f565d1",
        "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2",
        "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5a678cc31e799176d3860e6110c46523e",
        "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944b6022cac3c4982b10d5eeb55c3e4de15"
        "134676fb6de0446065c97440fa8c6a58"}},
  };
  int number = 1;
  for (const Case& c : cases) {
    for (int id = kSha224; id <= kSha512; ++id) {
      const Bytes expected = Hex(c.expected[id - kSha224]);
      Bytes mac = ShaHmac(id, c.key, c.data);
      mac.resize(expected.size());
      EXPECT_EQ(ToHex(mac), ToHex(expected)) << "case " << number << " id " << id;
    }
    ++number;
  }
}

TEST_P(CryptoMacOnPath, HmacAgreesWithOpensslAcrossKeyBlockBoundaries) {
  std::mt19937 random(4231);
  // Keys at, one below and one above both block sizes: the longer ones are hashed first.
  const std::size_t keyLengths[] = {0, 1, 20, 63, 64, 65, 127, 128, 129, 300};
  for (std::size_t keyLength : keyLengths) {
    for (int round = 0; round < 8; ++round) {
      const Bytes key = Random(random, keyLength);
      const Bytes text = Random(random, random() % 2001);
      for (int id = kSha1; id <= kSha512; ++id) {
        HmacContext context;
        ASSERT_EQ(HmacReset(&context, id, key.data(), key.size()), 0);
        const std::size_t split = text.size() / 3;
        ASSERT_EQ(HmacInput(&context, text.data(), split), 0);
        ASSERT_EQ(HmacInput(&context, text.data() + split, text.size() - split), 0);
        Bytes mac(static_cast<std::size_t>(ShaHashSize(id)));
        ASSERT_EQ(HmacResult(&context, mac.data()), 0);
        ASSERT_EQ(ToHex(mac), ToHex(ReferenceHmac(kOpensslName[id], key, text)))
            << "id " << id << " key " << keyLength << " text " << text.size();
      }
      ASSERT_EQ(ToHex(Md5Hmac(key, text)), ToHex(ReferenceHmac("MD5", key, text))) << "key " << keyLength;
    }
  }
}

TEST(CryptoMac, HmacFailuresReportOne) {
  const Bytes key(16, 1), text(8, 2);
  std::uint8_t mac[kShaMaxHashSize];
  HmacContext context;
  EXPECT_EQ(HmacReset(nullptr, kSha256, key.data(), key.size()), 1);
  EXPECT_EQ(HmacReset(&context, 5, key.data(), key.size()), 1);
  // A context whose reset failed refuses further work rather than reading stale state.
  EXPECT_EQ(HmacInput(&context, text.data(), text.size()), kShaBadParam);
  EXPECT_EQ(HmacResult(&context, mac), 1);
  EXPECT_EQ(HmacReset(&context, kSha256, nullptr, 4), 1);
  EXPECT_EQ(HmacInput(nullptr, text.data(), text.size()), kShaNull);
  EXPECT_EQ(Hmac(5, text.data(), text.size(), key.data(), key.size(), mac), 1);
  EXPECT_EQ(Hmac(kSha256, nullptr, 3, key.data(), key.size(), mac), 1);
  EXPECT_EQ(Hmac(kSha256, text.data(), text.size(), key.data(), key.size(), nullptr), 1);
  EXPECT_EQ(HmacMd5(text.data(), text.size(), key.data(), key.size(), nullptr), 1);
  EXPECT_EQ(HmacMd5(nullptr, 1, key.data(), key.size(), mac), 1);
  // An empty key is a key.
  EXPECT_EQ(Hmac(kSha256, text.data(), text.size(), nullptr, 0, mac), 0);
  EXPECT_EQ(ToHex({mac, 32}), ToHex(ReferenceHmac("SHA256", {}, text)));
}

TEST(CryptoMac, PHashAgreesWithOpensslForBothHashes) {
  std::mt19937 random(2246);
  for (const std::size_t outLength : {1u, 16u, 20u, 33u, 80u, 100u}) {
    const Bytes secret = Random(random, 1 + random() % 64);
    const Bytes seed = Random(random, 1 + random() % 200);
    Bytes md5(outLength), sha1(outLength);
    ASSERT_EQ(PHash(seed.data(), seed.size(), secret.data(), secret.size(), md5.data(), outLength, 16), 0);
    ASSERT_EQ(PHash(seed.data(), seed.size(), secret.data(), secret.size(), sha1.data(), outLength, 20), 0);
    EXPECT_EQ(ToHex(md5), ToHex(ReferenceTlsPrf("MD5", secret, seed, outLength))) << outLength;
    EXPECT_EQ(ToHex(sha1), ToHex(ReferenceTlsPrf("SHA1", secret, seed, outLength))) << outLength;
  }
  std::uint8_t out[32] = {};
  const std::uint8_t seed[4] = {1, 2, 3, 4};
  EXPECT_EQ(PHash(seed, 4, seed, 4, out, 32, 32), -1);
  EXPECT_EQ(PHash(nullptr, 0, seed, 4, out, 32, 20), -1);
  EXPECT_EQ(PHash(seed, 4, nullptr, 0, out, 32, 20), -1);
  EXPECT_EQ(PHash(seed, 4, seed, 4, nullptr, 32, 16), -1);
}

TEST_P(CryptoMacOnPath, TlsPrfAgreesWithOpensslForOddAndEvenSecrets) {
  std::mt19937 random(1999);
  const Bytes label = Text("master secret");
  // Odd lengths share the middle byte between the two halves.
  for (const std::size_t secretLength : {1u, 5u, 32u, 33u, 48u, 131u, 1024u}) {
    const Bytes secret = Random(random, secretLength);
    const Bytes seed = Random(random, 64);
    Bytes labelAndSeed = label;
    labelAndSeed.insert(labelAndSeed.end(), seed.begin(), seed.end());
    Bytes out(48);
    ASSERT_EQ(TlsPrf(secret.data(), secret.size(), seed.data(), seed.size(), label.data(), label.size(), out.data(),
                     out.size()),
              0);
    EXPECT_EQ(ToHex(out), ToHex(ReferenceTlsPrf("MD5-SHA1", secret, labelAndSeed, 48))) << secretLength;
  }
}

TEST(CryptoMac, TlsPrfWritesExactlyFortyEightBytes) {
  const Bytes secret(32, 0x11), seed(64, 0x22), label = Text("key expansion");
  Bytes out(64, 0xEE);
  EXPECT_EQ(TlsPrf(secret.data(), 32, seed.data(), 64, label.data(), label.size(), out.data(), 47), -1);
  EXPECT_EQ(out, Bytes(64, 0xEE)) << "nothing written on a short buffer";
  EXPECT_EQ(TlsPrf(nullptr, 32, seed.data(), 64, label.data(), label.size(), out.data(), 64), -1);
  EXPECT_EQ(TlsPrf(secret.data(), 32, seed.data(), 64, nullptr, 3, out.data(), 64), -1);
  EXPECT_EQ(out, Bytes(64, 0xEE));

  ASSERT_EQ(TlsPrf(secret.data(), 32, seed.data(), 64, label.data(), label.size(), out.data(), 64), 0);
  EXPECT_EQ(Bytes(out.begin() + 48, out.end()), Bytes(16, 0xEE)) << "only 48 bytes written";
  Bytes joined = label;
  joined.insert(joined.end(), seed.begin(), seed.end());
  EXPECT_EQ(ToHex({out.data(), 48}), ToHex(ReferenceTlsPrf("MD5-SHA1", secret, joined, 48)));
}

}  // namespace
}  // namespace vela::test
