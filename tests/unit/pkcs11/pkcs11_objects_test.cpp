// The objects of the token: per key container a certificate, a public key
// and a private key that share an id, read once from the card; and
// C_GetAttributeValue's rules for sizes, sensitive values and unknown types.
#include <openssl/x509.h>

#include <cstring>
#include <map>
#include <memory>

#include "p11_harness.h"

namespace vela::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

CK_ULONG Ulong(const Bytes& value) {
  CK_ULONG number = 0;
  if (value.size() == sizeof(number)) std::memcpy(&number, value.data(), sizeof(number));
  return number;
}

// The container, its key reference and its certificate file on the card.
struct Container {
  int index;
  std::uint8_t keyRef;
  std::uint16_t certificateFile;
  bool signature;
};
constexpr Container kContainers[] = {
    {0, 0x80, 0xC000, true}, {1, 0x80, 0x4331, true}, {2, 0x82, 0xC500, true},  {3, 0x82, 0x4371, true},
    {4, 0x81, 0xC200, false}, {5, 0x81, 0x43B1, false}, {6, 0x85, 0xC201, false}, {7, 0x84, 0xC001, true},
};

Bytes Der(X509_NAME* name) {
  unsigned char* out = nullptr;
  const int length = i2d_X509_NAME(name, &out);
  Bytes bytes(out, out + std::max(length, 0));
  OPENSSL_free(out);
  return bytes;
}

class Pkcs11Objects : public P11Test {};

TEST_F(Pkcs11Objects, PrivateKeysAppearOnlyAfterLogin) {
  const CK_SESSION_HANDLE session = Open();
  std::map<CK_OBJECT_CLASS, int> before;
  for (const CK_OBJECT_HANDLE object : Find(session)) ++before[Ulong(Attribute(session, object, CKA_CLASS))];
  EXPECT_EQ(before, (std::map<CK_OBJECT_CLASS, int>{{CKO_CERTIFICATE, 8}, {CKO_PUBLIC_KEY, 8}}));
  Login(session);
  std::map<CK_OBJECT_CLASS, int> after;
  for (const CK_OBJECT_HANDLE object : Find(session)) ++after[Ulong(Attribute(session, object, CKA_CLASS))];
  EXPECT_EQ(after, (std::map<CK_OBJECT_CLASS, int>{{CKO_CERTIFICATE, 8}, {CKO_PUBLIC_KEY, 8}, {CKO_PRIVATE_KEY, 8}}));
}

// Each object against what the card holds, parsed by OpenSSL.
TEST_F(Pkcs11Objects, EveryContainerGivesCertificateAndKeysMatchingTheCard) {
  const CK_SESSION_HANDLE session = Open();
  Login(session);
  for (const Container& c : kContainers) {
    SCOPED_TRACE("container " + std::to_string(c.index));
    const CK_OBJECT_HANDLE certificate = Object(session, CKO_CERTIFICATE, c.index);
    const CK_OBJECT_HANDLE publicKey = Object(session, CKO_PUBLIC_KEY, c.index);
    const CK_OBJECT_HANDLE privateKey = Object(session, CKO_PRIVATE_KEY, c.index);
    ASSERT_NE(certificate, CK_INVALID_HANDLE);
    ASSERT_NE(publicKey, CK_INVALID_HANDLE);
    ASSERT_NE(privateKey, CK_INVALID_HANDLE);

    const Bytes der = card()->Certificate(c.certificateFile);
    EXPECT_EQ(Attribute(session, certificate, CKA_VALUE), der);
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> x509(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
    ASSERT_TRUE(x509);
    EXPECT_EQ(Attribute(session, certificate, CKA_SUBJECT), Der(X509_get_subject_name(x509.get())));
    EXPECT_EQ(Attribute(session, certificate, CKA_ISSUER), Der(X509_get_issuer_name(x509.get())));
    unsigned char* serial = nullptr;
    const int serialLength = i2d_ASN1_INTEGER(X509_get_serialNumber(x509.get()), &serial);
    EXPECT_EQ(Attribute(session, certificate, CKA_SERIAL_NUMBER), Bytes(serial, serial + serialLength));
    OPENSSL_free(serial);
    EXPECT_EQ(Ulong(Attribute(session, certificate, CKA_CERTIFICATE_TYPE)), CKC_X_509);

    // The three share the id and the label, the certificate's common name.
    const Bytes label = Attribute(session, certificate, CKA_LABEL);
    char name[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(x509.get()), NID_commonName, name, sizeof(name));
    EXPECT_EQ(std::string(label.begin(), label.end()), name);
    for (const CK_OBJECT_HANDLE key : {publicKey, privateKey}) {
      EXPECT_EQ(Attribute(session, key, CKA_LABEL), label);
      EXPECT_EQ(Attribute(session, key, CKA_ID), Bytes{static_cast<std::uint8_t>(c.index)});
      EXPECT_EQ(Ulong(Attribute(session, key, CKA_KEY_TYPE)), CKK_EC);
      EXPECT_EQ(Attribute(session, key, CKA_EC_PARAMS),
                (Bytes{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}));
    }
    // CKA_EC_POINT is a DER OCTET STRING around 04 X Y.
    Bytes point = {0x04, 0x41};
    const Bytes raw = card()->PublicPoint(c.keyRef);
    point.insert(point.end(), raw.begin(), raw.end());
    EXPECT_EQ(Attribute(session, publicKey, CKA_EC_POINT), point);

    EXPECT_EQ(Attribute(session, privateKey, CKA_SIGN), Bytes{c.signature});
    EXPECT_EQ(Attribute(session, privateKey, CKA_DERIVE), Bytes{!c.signature});
    EXPECT_EQ(Attribute(session, privateKey, CKA_SENSITIVE), Bytes{CK_TRUE});
    EXPECT_EQ(Attribute(session, privateKey, CKA_EXTRACTABLE), Bytes{CK_FALSE});
    EXPECT_EQ(Attribute(session, privateKey, CKA_PRIVATE), Bytes{CK_TRUE});
    EXPECT_EQ(Attribute(session, publicKey, CKA_PRIVATE), Bytes{CK_FALSE});
  }
}

TEST_F(Pkcs11Objects, GetAttributeValueSizesFillsAndRefusesPerAttribute) {
  const CK_SESSION_HANDLE session = Open();
  Login(session);
  const CK_OBJECT_HANDLE privateKey = Object(session, CKO_PRIVATE_KEY, 0);
  CK_BYTE small[2];
  CK_BYTE room[16];
  CK_ULONG keyType = 0;
  CK_ATTRIBUTE attributes[] = {
      {CKA_LABEL, nullptr, 0},               // asks for the size
      {CKA_EC_PARAMS, small, sizeof(small)},  // too small
      {CKA_KEY_TYPE, &keyType, sizeof(keyType)},
      {CKA_VALUE, room, sizeof(room)},        // the private value: sensitive
      {CKA_MODULUS, room, sizeof(room)},      // not an EC key's attribute
  };
  // Several refusals: the call names one of them, and fills what it can.
  const CK_RV rv = p11()->C_GetAttributeValue(session, privateKey, attributes, 5);
  EXPECT_TRUE(rv == CKR_BUFFER_TOO_SMALL || rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID) << rv;
  EXPECT_EQ(attributes[0].ulValueLen, Attribute(session, privateKey, CKA_LABEL).size());
  EXPECT_EQ(attributes[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(attributes[2].ulValueLen, sizeof(CK_ULONG));
  EXPECT_EQ(keyType, CKK_EC);
  EXPECT_EQ(attributes[3].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(attributes[4].ulValueLen, CK_UNAVAILABLE_INFORMATION);

  CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p11()->C_GetAttributeValue(session, privateKey, &value, 1), CKR_ATTRIBUTE_SENSITIVE);
  CK_ATTRIBUTE modulus{CKA_MODULUS, nullptr, 0};
  EXPECT_EQ(p11()->C_GetAttributeValue(session, privateKey, &modulus, 1), CKR_ATTRIBUTE_TYPE_INVALID);
  CK_ATTRIBUTE params{CKA_EC_PARAMS, small, sizeof(small)};
  EXPECT_EQ(p11()->C_GetAttributeValue(session, privateKey, &params, 1), CKR_BUFFER_TOO_SMALL);

  // Logged out, the private key's handle is no longer valid.
  ASSERT_EQ(p11()->C_Logout(session), CKR_OK);
  EXPECT_EQ(p11()->C_GetAttributeValue(session, privateKey, &params, 1), CKR_OBJECT_HANDLE_INVALID);
}

// What the card's files hold beyond a certificate is not part of it, and a
// file that holds no certificate leaves the keys without one.
class Pkcs11OddCertificates : public P11Test {
 protected:
  Pkcs11OddCertificates() {
    padded_ = emu::VelaCard(personalisation_).Certificate(0xC000);
    certificate_ = padded_;
    padded_.resize(padded_.size() + 40, 0x00);
    personalisation_.files.push_back({0xDF02, 0xC000, padded_});
    personalisation_.files.push_back({0xDF02, 0xC500, Bytes{0x30, 0x82, 0x01, 0xFF, 0x30, 0x03}});
  }
  Bytes padded_;
  Bytes certificate_;
};

TEST_F(Pkcs11OddCertificates, TrailingBytesAreCutAndGarbageGivesNoCertificate) {
  const CK_SESSION_HANDLE session = Open();
  EXPECT_EQ(Attribute(session, Object(session, CKO_CERTIFICATE, 0), CKA_VALUE), certificate_);
  EXPECT_EQ(Object(session, CKO_CERTIFICATE, 2), CK_INVALID_HANDLE);
  const CK_OBJECT_HANDLE publicKey = Object(session, CKO_PUBLIC_KEY, 2);
  ASSERT_NE(publicKey, CK_INVALID_HANDLE);
  const Bytes label = Attribute(session, publicKey, CKA_LABEL);
  EXPECT_EQ(std::string(label.begin(), label.end()), "VELA container 2");
}

class Pkcs11WithoutOptionalContainers : public P11Test {
 protected:
  Pkcs11WithoutOptionalContainers() {
    personalisation_.container6 = false;
    personalisation_.container7 = false;
  }
};

TEST_F(Pkcs11WithoutOptionalContainers, OnlyPresentContainersHaveObjects) {
  const CK_SESSION_HANDLE session = Open();
  Login(session);
  EXPECT_EQ(Find(session).size(), 6u * 3u);
  EXPECT_EQ(Object(session, CKO_PRIVATE_KEY, 6), CK_INVALID_HANDLE);
  EXPECT_EQ(Object(session, CKO_PRIVATE_KEY, 7), CK_INVALID_HANDLE);
}

// The card is read once per token: a second listing, in another session,
// sends nothing beyond what the first did.
TEST_F(Pkcs11Objects, ListingAllObjectsReadsTheCardOnce) {
  card()->ClearCounters();
  const CK_SESSION_HANDLE first = Open();
  const std::size_t open = card()->TotalCommands();
  Find(first);
  const std::size_t listing = card()->TotalCommands() - open;
  // The container map, then per container its key (3) and certificate (4 for
  // the 400-byte files, 5 for the two longer ones).
  EXPECT_EQ(listing, 1u + 8u * 3u + 6u * 4u + 2u * 5u);
  const CK_SESSION_HANDLE second = Open();
  Find(second);
  for (const CK_OBJECT_HANDLE object : Find(second)) Attribute(second, object, CKA_VALUE);
  EXPECT_EQ(card()->TotalCommands(), open + listing);
}

}  // namespace
}  // namespace vela::test
