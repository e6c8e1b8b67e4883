// The P-256 point check of cached keys, against points OpenSSL makes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "openssl_reference.h"
#include "pkcs11/ec_point.h"
#include "fake_card.h"

namespace vela::test {
namespace {

using pkcs11::IsP256Point;

Bytes FreshPoint() {
  const Pkey key = FreshPeerKey();
  const Bytes blob = PeerKeyBlob(key.get());
  Bytes point = {0x04};
  point.insert(point.end(), blob.begin() + 8, blob.end());
  return point;
}

TEST(EcPoint, PointsOnTheCurveAndNoOther) {
  // The base point, as the standard gives it.
  EXPECT_TRUE(IsP256Point(Hex("04 6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296"
                              "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5")));
  for (int i = 0; i < 32; ++i) {
    const Bytes point = FreshPoint();
    SCOPED_TRACE(ToHex(point));
    EXPECT_TRUE(IsP256Point(point));
    for (const std::size_t at : {std::size_t{1}, std::size_t{32}, std::size_t{33}, std::size_t{64}}) {
      Bytes off = point;
      off[at] ^= 0x01;
      EXPECT_FALSE(IsP256Point(off)) << "byte " << at << " changed";
    }
    Bytes compressed(point.begin(), point.begin() + 33);
    compressed[0] = static_cast<std::uint8_t>(0x02 | (point[64] & 1));
    EXPECT_FALSE(IsP256Point(compressed));
    Bytes prefix = point;
    prefix[0] = 0x06;  // hybrid form
    EXPECT_FALSE(IsP256Point(prefix));
  }
  const Bytes prime = Hex("FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF");
  Bytes xIsPrime = {0x04};
  xIsPrime.insert(xIsPrime.end(), prime.begin(), prime.end());
  xIsPrime.insert(xIsPrime.end(), prime.begin(), prime.end());
  EXPECT_FALSE(IsP256Point(xIsPrime));
  EXPECT_FALSE(IsP256Point(Bytes(65, 0x00)));
  EXPECT_FALSE(IsP256Point(Bytes{0x00}));
  EXPECT_FALSE(IsP256Point({}));
}

// A coordinate written as itself plus the prime names the same number modulo
// the prime, so the curve's equation holds for it as well; only the range
// check refuses it. Points whose coordinate is small enough for that to fit
// in 32 bytes: (x, 1), and (0, y). Each is a point as written below the prime.
TEST(EcPoint, CoordinatesAtOrAboveThePrimeAreRefused) {
  struct Case {
    const char* name;
    const char* reduced;    // X Y, each below the prime
    const char* plusPrime;  // the same point, one coordinate plus the prime
  };
  const Case cases[] = {
      {"y + p",
       "8D0177EBAB9C6E9E10DB6DD095DBAC0D6375E8A97B70F611875D877F0069D2C7"
       "0000000000000000000000000000000000000000000000000000000000000001",
       "8D0177EBAB9C6E9E10DB6DD095DBAC0D6375E8A97B70F611875D877F0069D2C7"
       "FFFFFFFF00000001000000000000000000000001000000000000000000000000"},
      {"x + p",
       "0000000000000000000000000000000000000000000000000000000000000000"
       "66485C780E2F83D72433BD5D84A06BB6541C2AF31DAE871728BF856A174F93F4",
       "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF"
       "66485C780E2F83D72433BD5D84A06BB6541C2AF31DAE871728BF856A174F93F4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(IsP256Point(Hex(std::string("04") + c.reduced)));
    EXPECT_FALSE(IsP256Point(Hex(std::string("04") + c.plusPrime)));
  }
}

}  // namespace
}  // namespace vela::test
