#include "host_operations.h"

#include <array>
#include <cstring>
#include <string>

#include "test_host.h"

namespace vela::test {

const BYTE kPeerPoint[64] = {
    0x6B, 0x17, 0xD1, 0xF2, 0xE1, 0x2C, 0x42, 0x47, 0xF8, 0xBC, 0xE6, 0xE5, 0x63, 0xA4, 0x40, 0xF2,
    0x77, 0x03, 0x7D, 0x81, 0x2D, 0xEB, 0x33, 0xA0, 0xF4, 0xA1, 0x39, 0x45, 0xD8, 0x98, 0xC2, 0x96,
    0x4F, 0xE3, 0x42, 0xE2, 0xFE, 0x1A, 0x7F, 0x9B, 0x8E, 0xE7, 0xEB, 0x4A, 0x7C, 0x0F, 0x9E, 0x16,
    0x2B, 0xCE, 0x33, 0x57, 0x6B, 0x31, 0x5E, 0xCE, 0xCB, 0xB6, 0x40, 0x68, 0x37, 0xBF, 0x51, 0xF5};

const BYTE kSignHash[32] = {0x01, 0x08, 0x0F, 0x16, 0x1D, 0x24, 0x2B, 0x32, 0x39, 0x40, 0x47,
                            0x4E, 0x55, 0x5C, 0x63, 0x6A, 0x71, 0x78, 0x7F, 0x86, 0x8D, 0x94,
                            0x9B, 0xA2, 0xA9, 0xB0, 0xB7, 0xBE, 0xC5, 0xCC, 0xD3, 0xDA};

namespace {

// Flags of the minidriver interface the rows pass.
constexpr DWORD kPinPinFlag = 0x2;                 // CARD_AUTHENTICATE_PIN_PIN
constexpr DWORD kGenerateSessionPinFlag = 0x10000000;  // CARD_AUTHENTICATE_GENERATE_SESSION_PIN
constexpr DWORD kSessionPinFlag = 0x20000000;      // CARD_AUTHENTICATE_SESSION_PIN

DWORD ReadFile(CARD_DATA* cd, const char* directory, const char* file) {
  std::string dir = directory != nullptr ? directory : "";
  std::string name = file;
  BYTE* data = nullptr;
  DWORD length = 0;
  const DWORD rc =
      cd->pfnCardReadFile(cd, directory != nullptr ? dir.data() : nullptr, name.data(), 0, &data, &length);
  HostRelease(data);
  return rc;
}

DWORD EnumFiles(CARD_DATA* cd, const char* directory) {
  std::string dir = directory != nullptr ? directory : "";
  char* names = nullptr;
  DWORD length = 0;
  const DWORD rc = cd->pfnCardEnumFiles(cd, directory != nullptr ? dir.data() : nullptr, &names, &length, 0);
  HostRelease(names);
  return rc;
}

DWORD ContainerInfo(CARD_DATA* cd, BYTE container) {
  CONTAINER_INFO info{};
  info.dwVersion = 1;
  const DWORD rc = cd->pfnCardGetContainerInfo(cd, container, 0, &info);
  HostRelease(info.pbSigPublicKey);
  HostRelease(info.pbKeyExPublicKey);
  return rc;
}

DWORD Sign(CARD_DATA* cd) {
  std::array<BYTE, 32> hash;
  std::memcpy(hash.data(), kSignHash, hash.size());
  CARD_SIGNING_INFO info{};
  info.dwVersion = 2;
  info.bContainerIndex = 0;
  info.dwKeySpec = AT_ECDSA_P256;
  info.pbData = hash.data();
  info.cbData = static_cast<DWORD>(hash.size());
  const DWORD rc = cd->pfnCardSignData(cd, &info);
  HostRelease(info.pbSignedData);
  return rc;
}

DWORD Derive(CARD_DATA* cd, const char16_t* kdf, bool tls) {
  std::u16string hashName = u"SHA256";
  static const char label[] = "master secret";
  std::array<BYTE, 64> seed;
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<BYTE>(i);
  BYTE prepend[5] = {1, 2, 3, 4, 5};
  std::array<BCryptBuffer, 3> buffers{};
  if (tls) {
    buffers[0] = {sizeof(label), 4, const_cast<char*>(label)};
    buffers[1] = {static_cast<ULONG>(seed.size()), 5, seed.data()};
  } else {
    buffers[0] = {static_cast<ULONG>((hashName.size() + 1) * 2), 0, hashName.data()};
    buffers[1] = {sizeof(prepend), 1, prepend};
  }
  BCryptBufferDesc list{0, 2, buffers.data()};
  std::array<BYTE, 64> out{};
  CARD_DERIVE_KEY derive{};
  derive.dwVersion = 2;
  derive.pwszKDF = kdf;
  derive.bSecretAgreementIndex = 0;
  derive.pParameterList = &list;
  derive.pbDerivedKey = out.data();
  derive.cbDerivedKey = static_cast<DWORD>(out.size());
  return cd->pfnCardDeriveKey(cd, &derive);
}

DWORD GetProperty(CARD_DATA* cd, const char16_t* name, DWORD flags, DWORD size) {
  std::array<BYTE, 512> buffer{};
  // Records carry their version first; 1 is what every host passes.
  buffer[0] = 1;
  DWORD length = 0;
  return cd->pfnCardGetProperty(cd, name, buffer.data(), size, &length, flags);
}

DWORD ChangePin(CARD_DATA* cd, const BYTE* from, const BYTE* to) {
  std::u16string user = u"user";
  BYTE current[sizeof(kUserPin)];
  BYTE next[sizeof(kUserPin)];
  std::memcpy(current, from, sizeof(current));
  std::memcpy(next, to, sizeof(next));
  DWORD attempts = 0;
  return cd->pfnCardChangeAuthenticator(cd, user.data(), current, sizeof(current), next, sizeof(next), 0,
                                        kPinPinFlag, &attempts);
}

void Undo(DWORD) {}

const HostOperation kOperations[] = {
    {"CardReadFile cardcf", Needs::kNothing, [](CARD_DATA* cd) { return ReadFile(cd, nullptr, "cardcf"); }, nullptr},
    {"CardReadFile cardid", Needs::kNothing, [](CARD_DATA* cd) { return ReadFile(cd, nullptr, "cardid"); }, nullptr},
    {"CardReadFile cardapps", Needs::kNothing, [](CARD_DATA* cd) { return ReadFile(cd, nullptr, "cardapps"); },
     nullptr},
    {"CardReadFile mscp/cmapfile", Needs::kNothing, [](CARD_DATA* cd) { return ReadFile(cd, "mscp", "cmapfile"); },
     nullptr},
    {"CardReadFile mscp/ksc00", Needs::kNothing, [](CARD_DATA* cd) { return ReadFile(cd, "mscp", "ksc00"); },
     nullptr},
    {"CardReadFile mscp/kxc04", Needs::kNothing, [](CARD_DATA* cd) { return ReadFile(cd, "mscp", "kxc04"); },
     nullptr},
    {"CardReadFile mscp/ksc07", Needs::kNothing, [](CARD_DATA* cd) { return ReadFile(cd, "mscp", "ksc07"); },
     nullptr},
    {"CardEnumFiles root", Needs::kNothing, [](CARD_DATA* cd) { return EnumFiles(cd, nullptr); }, nullptr},
    {"CardEnumFiles mscp", Needs::kNothing, [](CARD_DATA* cd) { return EnumFiles(cd, "mscp"); }, nullptr},
    {"CardGetFileInfo cardid", Needs::kNothing,
     [](CARD_DATA* cd) {
       std::string name = "cardid";
       CARD_FILE_INFO info{1, 0, InvalidAc};
       return cd->pfnCardGetFileInfo(cd, nullptr, name.data(), &info);
     },
     nullptr},
    {"CardGetContainerInfo 0", Needs::kNothing, [](CARD_DATA* cd) { return ContainerInfo(cd, 0); }, nullptr},
    {"CardGetContainerInfo 4", Needs::kNothing, [](CARD_DATA* cd) { return ContainerInfo(cd, 4); }, nullptr},
    {"CardGetContainerProperty Container Info", Needs::kNothing,
     [](CARD_DATA* cd) {
       CONTAINER_INFO info{};
       info.dwVersion = 1;
       DWORD length = 0;
       const DWORD rc = cd->pfnCardGetContainerProperty(cd, 0, u"Container Info", reinterpret_cast<BYTE*>(&info),
                                                        sizeof(info), &length, 0);
       HostRelease(info.pbSigPublicKey);
       HostRelease(info.pbKeyExPublicKey);
       return rc;
     },
     nullptr},
    {"CardGetContainerProperty PIN Identifier", Needs::kNothing,
     [](CARD_DATA* cd) {
       DWORD pin = 0;
       DWORD length = 0;
       return cd->pfnCardGetContainerProperty(cd, 0, u"PIN Identifier", reinterpret_cast<BYTE*>(&pin), sizeof(pin),
                                              &length, 0);
     },
     nullptr},
    {"CardAuthenticateEx user", Needs::kNothing, VerifyUserPin, nullptr},
    {"CardAuthenticatePin user", Needs::kNothing,
     [](CARD_DATA* cd) {
       std::u16string user = u"user";
       BYTE pin[sizeof(kUserPin)];
       std::memcpy(pin, kUserPin, sizeof(pin));
       DWORD attempts = 0;
       return cd->pfnCardAuthenticatePin(cd, user.data(), pin, sizeof(pin), &attempts);
     },
     nullptr},
    {"CardAuthenticateEx session PIN", Needs::kNothing,
     [](CARD_DATA* cd) {
       BYTE pin[sizeof(kUserPin)];
       std::memcpy(pin, kUserPin, sizeof(pin));
       BYTE* session = nullptr;
       DWORD sessionLength = 0;
       DWORD attempts = 0;
       DWORD rc = cd->pfnCardAuthenticateEx(cd, ROLE_USER, kGenerateSessionPinFlag, pin, sizeof(pin),
                                            &session, &sessionLength, &attempts);
       if (rc == 0) {
         rc = cd->pfnCardAuthenticateEx(cd, ROLE_USER, kSessionPinFlag, session, sessionLength, nullptr,
                                        nullptr, &attempts);
       }
       HostRelease(session);
       return rc;
     },
     nullptr},
    {"CardDeauthenticate user", Needs::kUserPin,
     [](CARD_DATA* cd) {
       std::u16string user = u"user";
       return cd->pfnCardDeauthenticate(cd, user.data(), 0);
     },
     [](CARD_DATA* cd) { Undo(VerifyUserPin(cd)); }},
    {"CardSignData 0", Needs::kUserPin, Sign, nullptr},
    {"CardConstructDHAgreement 4", Needs::kUserPin,
     [](CARD_DATA* cd) {
       BYTE slot = 0xFF;
       return Agree(cd, 4, &slot);
     },
     [](CARD_DATA* cd) { Undo(cd->pfnCardDestroyDHAgreement(cd, 0, 0)); }},
    {"CardDestroyDHAgreement", Needs::kAgreement, [](CARD_DATA* cd) { return cd->pfnCardDestroyDHAgreement(cd, 0, 0); },
     [](CARD_DATA* cd) {
       BYTE slot = 0xFF;
       Undo(Agree(cd, 4, &slot));
     }},
    {"CardDeriveKey HASH", Needs::kAgreement, [](CARD_DATA* cd) { return Derive(cd, u"HASH", false); }, nullptr},
    {"CardDeriveKey HMAC", Needs::kAgreement, [](CARD_DATA* cd) { return Derive(cd, u"HMAC", false); }, nullptr},
    {"CardDeriveKey TLS_PRF", Needs::kAgreement, [](CARD_DATA* cd) { return Derive(cd, u"TLS_PRF", true); }, nullptr},
    {"CardGetProperty Card Serial Number", Needs::kNothing,
     [](CARD_DATA* cd) { return GetProperty(cd, u"Card Serial Number", 0, 16); }, nullptr},
    {"CardGetProperty PIN Information", Needs::kNothing,
     [](CARD_DATA* cd) { return GetProperty(cd, u"PIN Information", ROLE_USER, sizeof(PIN_INFO)); }, nullptr},
    {"CardSetProperty PIN Context String", Needs::kNothing,
     [](CARD_DATA* cd) {
       std::u16string text = u"Signing the contract";
       return cd->pfnCardSetProperty(cd, u"PIN Context String", reinterpret_cast<BYTE*>(text.data()),
                                     static_cast<DWORD>((text.size() + 1) * 2), 0);
     },
     nullptr},
    {"CardQueryCapabilities", Needs::kNothing,
     [](CARD_DATA* cd) {
       CARD_CAPABILITIES caps{1, 0, 0};
       return cd->pfnCardQueryCapabilities(cd, &caps);
     },
     nullptr},
    {"CardQueryKeySizes", Needs::kNothing,
     [](CARD_DATA* cd) {
       CARD_KEY_SIZES sizes{};
       sizes.dwVersion = 1;
       return cd->pfnCardQueryKeySizes(cd, AT_ECDSA_P256, 0, &sizes);
     },
     nullptr},
    {"CardQueryFreeSpace", Needs::kNothing,
     [](CARD_DATA* cd) {
       CARD_FREE_SPACE_INFO space{};
       space.dwVersion = 1;
       return cd->pfnCardQueryFreeSpace(cd, 0, &space);
     },
     nullptr},
    {"CardChangeAuthenticator", Needs::kNothing, [](CARD_DATA* cd) { return ChangePin(cd, kUserPin, kNewUserPin); },
     [](CARD_DATA* cd) { Undo(ChangePin(cd, kNewUserPin, kUserPin)); }},
    {"CardUnblockPin", Needs::kNothing,
     [](CARD_DATA* cd) {
       std::u16string admin = u"admin";
       BYTE code[sizeof(kUnblockCode)];
       BYTE pin[sizeof(kUserPin)];
       std::memcpy(code, kUnblockCode, sizeof(code));
       std::memcpy(pin, kUserPin, sizeof(pin));
       return cd->pfnCardUnblockPin(cd, admin.data(), code, sizeof(code), pin, sizeof(pin), 0, 0);
     },
     nullptr},
};

}  // namespace

std::span<const HostOperation> HostOperations() { return kOperations; }

const HostOperation* FindHostOperation(std::string_view name) {
  for (const HostOperation& op : kOperations) {
    if (name == op.name) return &op;
  }
  return nullptr;
}

DWORD VerifyUserPin(CARD_DATA* cd) {
  BYTE pin[sizeof(kUserPin)];
  std::memcpy(pin, kUserPin, sizeof(pin));
  DWORD attempts = 0;
  return cd->pfnCardAuthenticateEx(cd, ROLE_USER, 0, pin, sizeof(pin), nullptr, nullptr, &attempts);
}

DWORD Agree(CARD_DATA* cd, BYTE container, BYTE* slot) {
  BYTE blob[8 + sizeof(kPeerPoint)];
  const DWORD header[2] = {BCRYPT_ECDH_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, header, sizeof(header));
  std::memcpy(blob + 8, kPeerPoint, sizeof(kPeerPoint));
  CARD_DH_AGREEMENT_INFO info{};
  info.dwVersion = 2;
  info.bContainerIndex = container;
  info.dwPublicKey = sizeof(blob);
  info.pbPublicKey = blob;
  const DWORD rc = cd->pfnCardConstructDHAgreement(cd, &info);
  *slot = info.bSecretAgreementIndex;
  return rc;
}

DWORD Prepare(CARD_DATA* cd, Needs needs) {
  if (needs == Needs::kNothing) return 0;
  if (const DWORD rc = VerifyUserPin(cd); rc != 0) return rc;
  if (needs == Needs::kUserPin) return 0;
  BYTE slot = 0xFF;
  return Agree(cd, 4, &slot);
}

std::vector<Exchange> TraceAcquire(CardEndpoint* card, DWORD* result) {
  RecordingCard tap(card);
  TestHost host(tap.handle());
  *result = host.Acquire();
  std::vector<Exchange> trace = tap.exchanges();
  host.Release();
  return trace;
}

std::vector<Exchange> TraceOperation(CardEndpoint* card, const HostOperation& op, DWORD* result) {
  RecordingCard tap(card);
  TestHost host(tap.handle());
  *result = host.Acquire();
  if (*result == 0) *result = Prepare(host.get(), op.needs);
  if (*result != 0) return {};
  tap.Clear();
  *result = op.run(host.get());
  std::vector<Exchange> trace = tap.exchanges();
  if (op.undo != nullptr) op.undo(host.get());
  host.Release();
  return trace;
}

}  // namespace vela::test
