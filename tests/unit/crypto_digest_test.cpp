// The SHA family and MD5: published vectors and OpenSSL as a reference over
// random inputs (on every SHA path), and the result-code rules of the
// id-selected interface.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/digest.h"
#include "crypto/md5.h"
#include "fake_card.h"
#include "openssl_reference.h"
#include "sha_paths_fixture.h"

namespace vela::test {
namespace {

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes FamilyHash(int id, const Bytes& data) {
  Bytes digest(static_cast<std::size_t>(ShaHashSize(id)));
  EXPECT_EQ(ShaHash(id, data.data(), data.size(), digest.data()), 0);
  return digest;
}

Bytes Md5Of(const Bytes& data) {
  Bytes digest(kMd5HashSize);
  EXPECT_EQ(Md5Hash(data.data(), data.size(), digest.data()), 0);
  return digest;
}

const char* const kOpensslName[] = {"SHA1", "SHA224", "SHA256", "SHA384", "SHA512"};

class CryptoDigestOnPath : public OnEveryShaPath {};
INSTANTIATE_TEST_SUITE_P(ShaPaths, CryptoDigestOnPath, ::testing::ValuesIn(kEveryShaPath), ShaPathsName);

TEST_P(CryptoDigestOnPath, ShaFamilyReproducesFipsExamples) {
  const std::string abc = "abc";
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string four =
      "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
  struct Case {
    int id;
    const std::string& message;
    const char* digest;
  };
  const Case cases[] = {
      {kSha1, abc, "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {kSha1, two, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {kSha224, abc, "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
      {kSha224, two, "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
      {kSha256, abc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {kSha256, two, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {kSha384, abc,
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
      {kSha384, four,
       "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
      {kSha512, abc,
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
       "454d4423643ce80e2a9ac94fa54ca49f"},
      {kSha512, four,
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433a"
       "c7d329eeb6dd26545e96e55b874be909"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToHex(FamilyHash(c.id, Text(c.message))), ToHex(Hex(c.digest))) << "id " << c.id << " " << c.message;
  }
}

TEST_P(CryptoDigestOnPath, OneMillionAFedInUnevenPieces) {
  const char* const expected[] = {
      "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
      "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67",
      "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
      "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985",
      "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31b"
      "eb009c5c2c49aa2e4eadb217ad8cc09b",
  };
  const Bytes as(1000, 'a');
  for (int id = kSha1; id <= kSha512; ++id) {
    ShaFamilyContext context;
    ASSERT_EQ(ShaReset(&context, id), 0);
    // Pieces of 1 to 997 bytes, so that every block-buffer offset is crossed.
    std::size_t fed = 0;
    for (std::size_t piece = 1; fed < 1000000; piece = piece % 997 + 1) {
      const std::size_t n = std::min(piece, 1000000 - fed);
      ASSERT_EQ(ShaInput(&context, as.data(), n), 0);
      fed += n;
    }
    Bytes digest(static_cast<std::size_t>(ShaHashSize(id)));
    ASSERT_EQ(ShaResult(&context, digest.data()), 0);
    EXPECT_EQ(ToHex(digest), ToHex(Hex(expected[id]))) << "id " << id;
  }
}

TEST(CryptoDigest, Md5ReproducesRfc1321Suite) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [message, digest] : cases) {
    EXPECT_EQ(ToHex(Md5Of(Text(message))), ToHex(Hex(digest))) << '"' << message << '"';
  }
}

TEST_P(CryptoDigestOnPath, AgreesWithOpensslOverRandomLengthsAndSplits) {
  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 200; ++round) {
    const std::size_t length = round < 10 ? static_cast<std::size_t>(round) : random() % 2001;
    Bytes data(length);
    for (auto& b : data) b = static_cast<std::uint8_t>(byte(random));
    const std::size_t split = length == 0 ? 0 : random() % (length + 1);

    for (int id = kSha1; id <= kSha512; ++id) {
      ShaFamilyContext context;
      ASSERT_EQ(ShaReset(&context, id), 0);
      ASSERT_EQ(ShaInput(&context, data.data(), split), 0);
      ASSERT_EQ(ShaInput(&context, data.data() + split, length - split), 0);
      Bytes digest(static_cast<std::size_t>(ShaHashSize(id)));
      ASSERT_EQ(ShaResult(&context, digest.data()), 0);
      ASSERT_EQ(ToHex(digest), ToHex(ReferenceDigest(kOpensslName[id], data))) << "id " << id << " length " << length;
    }
    Md5Context md5;
    Md5Init(&md5);
    Md5Update(&md5, data.data(), split);
    Md5Update(&md5, data.data() + split, length - split);
    Bytes digest(kMd5HashSize);
    Md5Final(digest.data(), &md5);
    ASSERT_EQ(ToHex(digest), ToHex(ReferenceDigest("MD5", data))) << "length " << length;
  }
}

TEST(CryptoDigest, SizesByIdNeverFail) {
  const int blockSizes[] = {64, 64, 64, 128, 128, 128, 128};
  const int hashSizes[] = {20, 28, 32, 48, 64, 64, 64};
  const int ids[] = {0, 1, 2, 3, 4, 5, -1};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(ShaBlockSize(ids[i]), blockSizes[i]) << ids[i];
    EXPECT_EQ(ShaHashSize(ids[i]), hashSizes[i]) << ids[i];
  }
}

TEST(CryptoDigest, ResultCodesForBadIdsAndNullPointers) {
  ShaFamilyContext context;
  std::uint8_t digest[kShaMaxHashSize];
  const std::uint8_t byte = 0x61;
  EXPECT_EQ(ShaReset(&context, 5), kShaBadParam);
  EXPECT_EQ(ShaInput(&context, &byte, 1), kShaBadParam);
  EXPECT_EQ(ShaResult(&context, digest), kShaBadParam);
  EXPECT_EQ(ShaReset(nullptr, kSha256), kShaNull);
  EXPECT_EQ(ShaHash(5, &byte, 1, digest), kShaBadParam);

  ASSERT_EQ(ShaReset(&context, kSha256), 0);
  EXPECT_EQ(ShaInput(nullptr, nullptr, 0), 0);
  EXPECT_EQ(ShaInput(&context, nullptr, 0), 0);
  EXPECT_EQ(ShaInput(&context, nullptr, 1), kShaNull);
  EXPECT_EQ(ShaInput(nullptr, &byte, 1), kShaNull);
  EXPECT_EQ(ShaResult(&context, nullptr), kShaNull);
  EXPECT_EQ(ShaResult(nullptr, digest), kShaNull);
  // A null pointer is not remembered: the context still hashes "a".
  ASSERT_EQ(ShaInput(&context, &byte, 1), 0);
  ASSERT_EQ(ShaResult(&context, digest), 0);
  EXPECT_EQ(ToHex({digest, 32}), ToHex(ReferenceDigest("SHA256", {byte})));
}

TEST(CryptoDigest, InputAfterResultIsRememberedUntilReset) {
  const Bytes abc = Text("abc");
  for (int id = kSha1; id <= kSha512; ++id) {
    ShaFamilyContext context;
    ASSERT_EQ(ShaReset(&context, id), 0);
    ASSERT_EQ(ShaInput(&context, abc.data(), abc.size()), 0);
    Bytes first(static_cast<std::size_t>(ShaHashSize(id))), again(first.size());
    ASSERT_EQ(ShaResult(&context, first.data()), 0);
    ASSERT_EQ(ShaResult(&context, again.data()), 0);
    EXPECT_EQ(first, again) << "a second result gives the same digest";
    EXPECT_EQ(first, FamilyHash(id, abc));

    EXPECT_EQ(ShaInput(&context, abc.data(), 1), kShaStateError);
    EXPECT_EQ(ShaResult(&context, again.data()), kShaStateError);
    EXPECT_EQ(ShaInput(&context, abc.data(), 1), kShaStateError);
    EXPECT_EQ(ShaInput(&context, nullptr, 0), 0) << "empty input is never refused";
    EXPECT_EQ(ShaResult(&context, again.data()), kShaStateError);

    ASSERT_EQ(ShaReset(&context, id), 0);
    ASSERT_EQ(ShaInput(&context, abc.data(), abc.size()), 0);
    ASSERT_EQ(ShaResult(&context, again.data()), 0);
    EXPECT_EQ(first, again);
  }
}

TEST(CryptoDigest, BitCounterOverflowIsRemembered) {
  const std::uint8_t byte = 0;
  std::uint8_t digest[kShaMaxHashSize];
  for (int id : {kSha1, kSha256, kSha512}) {
    ShaFamilyContext context;
    ASSERT_EQ(ShaReset(&context, id), 0);
    // Two bytes short of the limit: 2^64 - 16 bits, or 2^128 - 16.
    if (id == kSha1) {
      context.ctx.sha1.lengthHigh = 0xFFFFFFFF;
      context.ctx.sha1.lengthLow = 0xFFFFFFF0;
    } else if (id == kSha256) {
      context.ctx.sha256.lengthHigh = 0xFFFFFFFF;
      context.ctx.sha256.lengthLow = 0xFFFFFFF0;
    } else {
      context.ctx.sha512.lengthHigh = ~std::uint64_t{0};
      context.ctx.sha512.lengthLow = ~std::uint64_t{0} - 15;
    }
    EXPECT_EQ(ShaInput(&context, &byte, 1), 0) << id;
    EXPECT_EQ(ShaInput(&context, &byte, 1), kShaInputTooLong) << id;
    EXPECT_EQ(ShaInput(&context, &byte, 1), kShaInputTooLong) << id;
    EXPECT_EQ(ShaResult(&context, digest), kShaInputTooLong) << id;
  }
}

}  // namespace
}  // namespace vela::test
