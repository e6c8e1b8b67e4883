// Hostile host records into a valid context: every field of every record, the
// names, the buffers and their sizes come from the input. Buffers are
// allocated at exactly the size the record claims, so a read past them is an
// AddressSanitizer report. A string passed without a length (a name, a user
// id) is always terminated: that much is the host's side of the interface. A
// string in a buffer that has a byte count may lack its terminator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host_operations.h"
#include "roads.h"
#include "test_host.h"

namespace vela::fuzz {
namespace {

using test::HostRelease;

RoadInput* padInput = nullptr;

// The host's padding callback: fails, or hands out a block of a chosen size.
DWORD VELA_WINAPI FuzzPadData(CARD_SIGNING_INFO*, DWORD, DWORD* length, BYTE** block) {
  if (padInput->Choose(4) == 0) return SCARD_E_INVALID_PARAMETER;
  const std::vector<std::uint8_t> bytes = padInput->Bytes(padInput->Choose(100));
  *block = static_cast<BYTE*>(test::HostHeap::Alloc(bytes.size()));
  if (*block != nullptr && !bytes.empty()) std::memcpy(*block, bytes.data(), bytes.size());
  *length = static_cast<DWORD>(bytes.size());
  return 0;
}

DWORD Flags(RoadInput& in, std::initializer_list<DWORD> usual) {
  const std::size_t pick = in.Choose(usual.size() + 1);
  return pick < usual.size() ? usual.begin()[pick] : in.Word();
}

// A buffer of exactly the claimed size (or none).
struct Buffer {
  std::vector<BYTE> bytes;
  bool present = true;
  BYTE* get() { return present ? bytes.data() : nullptr; }
};

Buffer Bytes(RoadInput& in, std::size_t most) {
  Buffer b;
  b.present = in.Choose(8) != 0;
  b.bytes = in.Bytes(in.Choose(most + 1));
  b.bytes.shrink_to_fit();
  return b;
}

// One of the usual names, or input text; terminated.
std::u16string WideName(RoadInput& in, std::initializer_list<const char16_t*> usual) {
  const std::size_t pick = in.Choose(usual.size() + 1);
  if (pick < usual.size()) return usual.begin()[pick];
  std::u16string text;
  for (std::uint8_t b : in.Bytes(in.Choose(140))) text.push_back(static_cast<char16_t>(b == 0 ? 'x' : b));
  return text;
}

std::string NarrowName(RoadInput& in, std::initializer_list<const char*> usual) {
  const std::size_t pick = in.Choose(usual.size() + 1);
  if (pick < usual.size()) return usual.begin()[pick];
  std::string text;
  for (std::uint8_t b : in.Bytes(in.Choose(300))) text.push_back(static_cast<char>(b == 0 ? 'x' : b));
  return text;
}

// Heap copies, so that a read past the terminator is caught.
struct WideText {
  explicit WideText(const std::u16string& s) : units(s.begin(), s.end()) {
    units.push_back(0);
    units.shrink_to_fit();
  }
  std::vector<char16_t> units;
  char16_t* get() { return units.data(); }
};
struct NarrowText {
  explicit NarrowText(const std::string& s) : chars(s.begin(), s.end()) {
    chars.push_back(0);
    chars.shrink_to_fit();
  }
  std::vector<char> chars;
  char* get() { return chars.data(); }
};

const std::initializer_list<const char16_t*> kCardProperties = {
    u"Free Space",   u"Capabilities",       u"Key Sizes",         u"Read Only Mode",     u"Cache Mode",
    u"Supports Windows x.509 Enrollment",   u"Card Identifier",   u"Card Serial Number", u"PIN Information",
    u"PIN List",     u"Key Import Support", u"PIN Strength Verify", u"PIN Context String", u"Parent Window",
    u"Authenticated State", u"Algorithms",  u"PIN Strength Change"};
const std::initializer_list<const char*> kDirectories = {"mscp", "MSCP", "apps", ""};
const std::initializer_list<const char*> kFiles = {"cardid", "cardcf", "cardapps", "cmapfile", "ksc00", "kxc04",
                                                   "ksc07", "kxc06", "ksc0A", "kscFF", "KSC00"};

void DeriveKey(RoadInput& in, CARD_DATA* cd) {
  std::vector<BCryptBuffer> buffers(in.Choose(9));
  std::vector<std::vector<BYTE>> contents;
  std::vector<WideText> wide;
  std::vector<NarrowText> narrow;
  contents.reserve(buffers.size());
  wide.reserve(buffers.size());
  narrow.reserve(buffers.size());
  for (BCryptBuffer& b : buffers) {
    b.BufferType = static_cast<ULONG>(in.Choose(3) == 0 ? in.Word() : in.Choose(8));
    b.cbBuffer = static_cast<ULONG>(in.Choose(1101));
    const bool text = b.BufferType == 0 || b.BufferType == 4;
    if (text && in.Choose(4) == 3) {
      // Characters up to the end of a buffer of exactly cbBuffer bytes, and
      // no terminator: whatever reads on past cbBuffer is caught.
      contents.push_back(in.Bytes(b.cbBuffer));
      for (BYTE& c : contents.back()) c = c == 0 ? 'x' : c;
      contents.back().shrink_to_fit();
      b.cbBuffer = static_cast<ULONG>(contents.back().size());
      b.pvBuffer = contents.back().data();
    } else if (b.BufferType == 0) {
      wide.emplace_back(WideName(in, {u"SHA1", u"SHA256", u"SHA384", u"SHA512", u"MD5", u"sha256"}));
      b.pvBuffer = wide.back().get();
    } else if (b.BufferType == 4) {
      narrow.emplace_back(NarrowName(in, {"master secret", "key expansion"}));
      b.pvBuffer = narrow.back().get();
    } else {
      contents.push_back(in.Bytes(b.cbBuffer));
      contents.back().shrink_to_fit();
      b.cbBuffer = static_cast<ULONG>(contents.back().size());
      b.pvBuffer = contents.back().data();
    }
    if (in.Choose(16) == 0) b.pvBuffer = nullptr;
  }
  BCryptBufferDesc list{0, static_cast<ULONG>(buffers.size()), in.Choose(16) == 0 ? nullptr : buffers.data()};
  WideText kdf(WideName(in, {u"HASH", u"HMAC", u"TLS_PRF"}));
  Buffer out = Bytes(in, 130);
  CARD_DERIVE_KEY d{};
  d.dwVersion = static_cast<DWORD>(in.Choose(4));
  d.dwFlags = Flags(in, {0, 0x20000000, 0x1, 0x01000000, 0x20000001});
  d.pwszKDF = in.Choose(16) == 0 ? nullptr : kdf.get();
  d.bSecretAgreementIndex = static_cast<BYTE>(in.Choose(12));
  d.pParameterList = in.Choose(8) == 0 ? nullptr : &list;
  d.pbDerivedKey = out.get();
  d.cbDerivedKey = static_cast<DWORD>(out.bytes.size());
  BYTE* const given = d.pbDerivedKey;
  cd->pfnCardDeriveKey(cd, &d);
  if (d.pbDerivedKey != given) HostRelease(d.pbDerivedKey);
}

void SignData(RoadInput& in, CARD_DATA* cd) {
  Buffer data = Bytes(in, 80);
  CARD_SIGNING_INFO s{};
  s.dwVersion = static_cast<DWORD>(in.Choose(4));
  s.bContainerIndex = static_cast<BYTE>(in.Choose(18));
  s.dwKeySpec = static_cast<DWORD>(in.Choose(9));
  s.dwSigningFlags = Flags(in, {0, 0x20000000, 0x40000000, 0x1});
  s.aiHashAlg = Flags(in, {0, 0x8003, 0x8004, 0x800C, 0x800D});
  s.pbData = data.get();
  s.cbData = static_cast<DWORD>(data.bytes.size());
  padInput = &in;
  cd->pfnCspPadData = in.Choose(16) == 0 ? nullptr : FuzzPadData;
  cd->pfnCardSignData(cd, &s);
  HostRelease(s.pbSignedData);
}

void ConstructAgreement(RoadInput& in, CARD_DATA* cd) {
  Buffer blob = Bytes(in, 300);
  if (blob.bytes.size() == 72 && in.Choose(2) == 0) std::memcpy(blob.bytes.data() + 8, test::kPeerPoint, 64);
  CARD_DH_AGREEMENT_INFO a{};
  a.dwVersion = static_cast<DWORD>(in.Choose(4));
  a.bContainerIndex = static_cast<BYTE>(in.Choose(18));
  a.dwFlags = Flags(in, {0});
  a.dwPublicKey = static_cast<DWORD>(blob.bytes.size());
  a.pbPublicKey = blob.get();
  cd->pfnCardConstructDHAgreement(cd, &a);
}

void GetProperty(RoadInput& in, CARD_DATA* cd) {
  WideText name(WideName(in, kCardProperties));
  Buffer data = Bytes(in, 64);
  DWORD length = 0;
  cd->pfnCardGetProperty(cd, in.Choose(16) == 0 ? nullptr : name.get(), data.get(),
                         static_cast<DWORD>(data.bytes.size()), in.Choose(8) == 0 ? nullptr : &length,
                         Flags(in, {0, 1, 2, 3}));
}

void SetProperty(RoadInput& in, CARD_DATA* cd) {
  WideText name(WideName(in, kCardProperties));
  Buffer data = Bytes(in, 300);
  const DWORD claimed = static_cast<DWORD>(data.bytes.size());
  // A string value ends in a terminator just past the bytes claimed, or the
  // buffer ends where the claim does.
  if (in.Choose(4) != 3) {
    data.bytes.push_back(0);
    data.bytes.push_back(0);
    data.bytes.shrink_to_fit();
  }
  cd->pfnCardSetProperty(cd, in.Choose(16) == 0 ? nullptr : name.get(), data.get(), claimed, Flags(in, {0, 1}));
}

void ContainerProperty(RoadInput& in, CARD_DATA* cd) {
  WideText name(WideName(in, {u"Container Info", u"PIN Identifier", u"Associated ECDH Key"}));
  Buffer data = Bytes(in, 64);
  DWORD length = 0;
  const DWORD rc = cd->pfnCardGetContainerProperty(
      cd, static_cast<BYTE>(in.Choose(18)), in.Choose(16) == 0 ? nullptr : name.get(), data.get(),
      static_cast<DWORD>(data.bytes.size()), in.Choose(8) == 0 ? nullptr : &length, Flags(in, {0}));
  if (rc == 0 && data.present && data.bytes.size() >= sizeof(CONTAINER_INFO) &&
      std::u16string(name.get()) == u"Container Info") {
    CONTAINER_INFO info;
    std::memcpy(&info, data.bytes.data(), sizeof(info));
    HostRelease(info.pbSigPublicKey);
    HostRelease(info.pbKeyExPublicKey);
  }
}

void ContainerInfo(RoadInput& in, CARD_DATA* cd) {
  CONTAINER_INFO info{};
  info.dwVersion = static_cast<DWORD>(in.Choose(4));
  const DWORD rc = cd->pfnCardGetContainerInfo(cd, static_cast<BYTE>(in.Choose(18)), Flags(in, {0}),
                                               in.Choose(16) == 0 ? nullptr : &info);
  if (rc == 0) {
    HostRelease(info.pbSigPublicKey);
    HostRelease(info.pbKeyExPublicKey);
  }
}

void Files(RoadInput& in, CARD_DATA* cd) {
  NarrowText directory(NarrowName(in, kDirectories));
  NarrowText file(NarrowName(in, kFiles));
  char* dir = in.Choose(3) == 0 ? nullptr : directory.get();
  switch (in.Choose(3)) {
    case 0: {
      BYTE* data = nullptr;
      DWORD length = 0;
      cd->pfnCardReadFile(cd, dir, in.Choose(16) == 0 ? nullptr : file.get(), Flags(in, {0}),
                          in.Choose(16) == 0 ? nullptr : &data, in.Choose(16) == 0 ? nullptr : &length);
      HostRelease(data);
      break;
    }
    case 1: {
      char* names = nullptr;
      DWORD length = 0;
      cd->pfnCardEnumFiles(cd, dir, in.Choose(16) == 0 ? nullptr : &names, in.Choose(16) == 0 ? nullptr : &length,
                           Flags(in, {0}));
      HostRelease(names);
      break;
    }
    default: {
      CARD_FILE_INFO info{static_cast<DWORD>(in.Choose(4)), 0, InvalidAc};
      cd->pfnCardGetFileInfo(cd, dir, in.Choose(4) == 0 ? nullptr : file.get(), in.Choose(16) == 0 ? nullptr : &info);
      break;
    }
  }
}

void Pins(RoadInput& in, CARD_DATA* cd) {
  Buffer first = Bytes(in, 300);
  Buffer second = Bytes(in, 300);
  WideText user(WideName(in, {u"user", u"admin", u"User"}));
  LPWSTR userId = in.Choose(16) == 0 ? nullptr : user.get();
  const DWORD firstLength = static_cast<DWORD>(first.bytes.size());
  const DWORD secondLength = static_cast<DWORD>(second.bytes.size());
  DWORD attempts = 0;
  DWORD* attemptsOut = in.Choose(8) == 0 ? nullptr : &attempts;
  switch (in.Choose(7)) {
    case 0: {
      BYTE* session = nullptr;
      DWORD sessionLength = 0;
      cd->pfnCardAuthenticateEx(cd, static_cast<PIN_ID>(in.Choose(4)),
                                Flags(in, {0, 0x40, 0x10000000, 0x20000000, 0x30000000}), first.get(), firstLength,
                                in.Choose(8) == 0 ? nullptr : &session, in.Choose(8) == 0 ? nullptr : &sessionLength,
                                attemptsOut);
      HostRelease(session);
      break;
    }
    case 1: cd->pfnCardAuthenticatePin(cd, userId, first.get(), firstLength, attemptsOut); break;
    case 2:
      cd->pfnCardChangeAuthenticator(cd, userId, first.get(), firstLength, second.get(), secondLength,
                                     static_cast<DWORD>(in.Choose(2)), Flags(in, {2, 0, 1}), attemptsOut);
      break;
    case 3:
      cd->pfnCardChangeAuthenticatorEx(cd, Flags(in, {1, 2, 3}), static_cast<PIN_ID>(in.Choose(4)), first.get(),
                                       firstLength, static_cast<PIN_ID>(in.Choose(4)), second.get(), secondLength,
                                       static_cast<DWORD>(in.Choose(2)), attemptsOut);
      break;
    case 4:
      cd->pfnCardUnblockPin(cd, userId, first.get(), firstLength, second.get(), secondLength,
                            static_cast<DWORD>(in.Choose(2)), Flags(in, {0, 1, 2}));
      break;
    case 5: cd->pfnCardDeauthenticate(cd, userId, Flags(in, {0})); break;
    default: cd->pfnCardDeauthenticateEx(cd, Flags(in, {2, 4, 6, 0, 0x100}), Flags(in, {0})); break;
  }
}

void Queries(RoadInput& in, CARD_DATA* cd) {
  switch (in.Choose(4)) {
    case 0: {
      CARD_KEY_SIZES sizes{static_cast<DWORD>(in.Choose(3)), 0, 0, 0, 0};
      cd->pfnCardQueryKeySizes(cd, static_cast<DWORD>(in.Choose(10)), Flags(in, {0}),
                               in.Choose(16) == 0 ? nullptr : &sizes);
      break;
    }
    case 1: {
      CARD_FREE_SPACE_INFO space{static_cast<DWORD>(in.Choose(3)), 0, 0, 0};
      cd->pfnCardQueryFreeSpace(cd, Flags(in, {0}), in.Choose(16) == 0 ? nullptr : &space);
      break;
    }
    case 2: {
      CARD_CAPABILITIES caps{static_cast<DWORD>(in.Choose(3)), 0, 0};
      cd->pfnCardQueryCapabilities(cd, in.Choose(16) == 0 ? nullptr : &caps);
      break;
    }
    default: cd->pfnCardDestroyDHAgreement(cd, static_cast<BYTE>(in.Choose(12)), Flags(in, {0})); break;
  }
}

using Entry = void (*)(RoadInput&, CARD_DATA*);
constexpr Entry kEntries[] = {DeriveKey,         SignData,      ConstructAgreement, GetProperty, SetProperty,
                              ContainerProperty, ContainerInfo, Files,              Pins,        Queries};

}  // namespace

void DriveHostRecordsRoad(RoadInput& input, test::CardEndpoint&, std::uintptr_t cardHandle) {
  const std::size_t liveBefore = test::HostHeap::Live();
  {
    test::TestHost host(cardHandle);
    if (host.Acquire() != 0) return RoadFails("no context on the card");
    test::Prepare(host.get(), test::Needs::kAgreement);
    for (int i = 0; i < 16 && !input.exhausted(); ++i) kEntries[input.Choose(std::size(kEntries))](input, host.get());
  }
  CheckHostHeap(liveBefore);
  // The host heap reports a free of a block it never handed out as a test
  // failure; outside a test (under the fuzzer) that is an ad hoc one.
  if (::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed()) RoadFails("host heap misused");
}

}  // namespace vela::fuzz
