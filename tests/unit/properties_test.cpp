#include <gtest/gtest.h>

#include <cstring>

#include "core/card_context.h"
#include "core/entry_points.h"
#include "fake_registry.h"
#include "fake_window.h"
#include "scripted_reader.h"
#include "test_host.h"

namespace vela::test {
namespace {

constexpr BYTE kFill = 0xEE;
constexpr DWORD kUnset = 0xDEADBEEF;

// A context on a card with containers 0 to 7 (or 0 to 5), optionally in
// PIN-pad mode; every property call is preceded by its application select.
class PropertiesTest : public ::testing::Test {
 protected:
  void Acquire(bool pinPad = false, bool optionalContainers = true) {
    if (pinPad) {
      SetRegistryString(kSettingsKey, "usePinPad", "TRUE");
      card_.Features("06 04 00 31 35 28");
    }
    card_.ExpectAcquire(optionalContainers, optionalContainers, "0102030405060708090A");
    ASSERT_EQ(host_.Acquire(), 0u);
  }
  void TearDown() override {
    card_.ExpectSelectApplication();  // the delete's
    host_.Release();
  }

  struct Result {
    DWORD rc;
    DWORD length;
    std::vector<BYTE> buffer;
  };
  // CardGetProperty into a buffer of `size` bytes filled with kFill, whose
  // first four bytes are `version` when given.
  Result Get(std::u16string_view name, DWORD size, DWORD flags = 0, std::optional<DWORD> version = std::nullopt) {
    card_.ExpectSelectApplication();
    Result r{0, kUnset, std::vector<BYTE>(size, kFill)};
    if (version && size >= 4) std::memcpy(r.buffer.data(), &*version, 4);
    const std::u16string n(name);
    r.rc = host_->pfnCardGetProperty(host_.get(), n.c_str(), r.buffer.data(), size, &r.length, flags);
    return r;
  }
  DWORD Set(std::u16string_view name, const void* data, DWORD size, DWORD flags = 0) {
    card_.ExpectSelectApplication();
    const std::u16string n(name);
    return host_->pfnCardSetProperty(host_.get(), n.c_str(), static_cast<PBYTE>(const_cast<void*>(data)), size,
                                     flags);
  }
  static DWORD Dword(const std::vector<BYTE>& bytes, std::size_t at) {
    DWORD v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  }

  RegistryScope registry_;
  ScriptedReader card_;
  TestHost host_{card_.handle()};
};

TEST_F(PropertiesTest, GetChecksInOrder) {
  Acquire();
  struct Case {
    const char16_t* name;  // null: no name
    bool data;
    DWORD size;
    bool length;
    DWORD flags;
    DWORD expected;
  };
  const Case cases[] = {
      {nullptr, true, 4, true, 0, SCARD_E_INVALID_PARAMETER},
      {u"Read Only Mode", false, 4, true, 0, SCARD_E_INVALID_PARAMETER},
      {u"No Such Name", true, 0, false, 0, ERROR_INSUFFICIENT_BUFFER},
      {u"Algorithms", true, 0, true, 0, ERROR_INSUFFICIENT_BUFFER},
      {u"Read Only Mode", true, 4, false, 0, SCARD_E_INVALID_PARAMETER},
      {u"Free Space", true, 16, true, 1, SCARD_E_INVALID_PARAMETER},
      {u"Capabilities", true, 12, true, 2, SCARD_E_INVALID_PARAMETER},
      {u"Cache Mode", true, 4, true, 1, SCARD_E_INVALID_PARAMETER},
      {u"PIN List", true, 4, true, 1, SCARD_E_INVALID_PARAMETER},
      {u"Card Serial Number", true, 16, true, 1, SCARD_E_INVALID_PARAMETER},
      {u"Authenticated State", true, 4, true, 1, SCARD_E_INVALID_PARAMETER},
      {u"Authenticated State", true, 4, true, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"PIN Strength Change", true, 4, true, 1, SCARD_E_UNSUPPORTED_FEATURE},
      {u"PIN Strength Unblock", true, 4, true, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Algorithms", true, 4, true, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Padding Schemes", true, 4, true, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Chaining Modes", true, 4, true, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Import Key Pair", true, 4, true, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Change Authenticator", true, 4, true, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Authenticate", true, 4, true, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"ChainingMode", true, 4, true, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"IV", true, 4, true, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"BlockLength", true, 4, true, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"free space", true, 16, true, 0, SCARD_E_INVALID_PARAMETER},
      {u"Free Space ", true, 16, true, 0, SCARD_E_INVALID_PARAMETER},
      {u"Free", true, 16, true, 0, SCARD_E_INVALID_PARAMETER},
      {u"Parent Window", true, 8, true, 0, SCARD_E_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    card_.ExpectSelectApplication();
    std::vector<BYTE> buffer(16, kFill);
    DWORD length = kUnset;
    const DWORD rc = host_->pfnCardGetProperty(host_.get(), c.name, c.data ? buffer.data() : nullptr, c.size,
                                               c.length ? &length : nullptr, c.flags);
    const std::u16string name = c.name ? c.name : u"(null)";
    const std::string label(name.begin(), name.end());
    EXPECT_EQ(rc, c.expected) << label << " flags " << c.flags;
    EXPECT_EQ(length, kUnset) << label;
    EXPECT_EQ(buffer, std::vector<BYTE>(16, kFill)) << label;
  }
}

TEST_F(PropertiesTest, FixedValues) {
  Acquire();
  struct Case {
    const char16_t* name;
    DWORD flags;
    std::string value;
  };
  const std::string identifier = "00 00 00 00 00 00 01 02 03 04 05 06 07 08 09 0A";
  const Case cases[] = {
      {u"Read Only Mode", 0, "01 00 00 00"},
      {u"Cache Mode", 0, "03 00 00 00"},
      {u"Supports Windows x.509 Enrollment", 0, "00 00 00 00"},
      {u"Card Identifier", 0, identifier},
      {u"Card Serial Number", 0, identifier},
      {u"PIN List", 0, "06 00 00 00"},
      {u"Key Import Support", 0, "00 00 00 00"},
      {u"Key Import Support", 5, "00 00 00 00"},
      {u"PIN Strength Verify", 1, "01 00 00 00"},
      {u"PIN Strength Verify", 2, "01 00 00 00"},
  };
  for (const Case& c : cases) {
    const std::u16string n(c.name);
    const std::string label(n.begin(), n.end());
    const DWORD size = static_cast<DWORD>(Hex(c.value).size());
    // Room to spare: only the value is written.
    Result r = Get(c.name, size + 4, c.flags);
    ASSERT_EQ(r.rc, 0u) << label;
    EXPECT_EQ(r.length, size) << label;
    EXPECT_EQ(ToHex({r.buffer.data(), size}), c.value) << label;
    EXPECT_EQ(ToHex({r.buffer.data() + size, 4}), "EE EE EE EE") << label;
    // One byte short: nothing written, no length.
    r = Get(c.name, size - 1, c.flags);
    EXPECT_EQ(r.rc, ERROR_INSUFFICIENT_BUFFER) << label;
    EXPECT_EQ(r.length, kUnset) << label;
    EXPECT_EQ(r.buffer, std::vector<BYTE>(size - 1, kFill)) << label;
  }
  EXPECT_EQ(Get(u"PIN Strength Verify", 4, 3).rc, SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(Get(u"PIN Strength Verify", 4, 0).rc, SCARD_E_INVALID_PARAMETER);
}

TEST_F(PropertiesTest, VersionedRecords) {
  Acquire(false, false);  // containers 0 to 5
  Result r = Get(u"Free Space", 16, 0, 0);
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(r.length, 16u);
  EXPECT_EQ(ToHex(r.buffer), "01 00 00 00 00 00 00 00 06 00 00 00 06 00 00 00") << "version set to 1";

  r = Get(u"Capabilities", 12, 0, 0);
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(ToHex(r.buffer), "00 00 00 00 01 00 00 00 00 00 00 00") << "version left as given";

  struct Case {
    const char16_t* name;
    DWORD size, flags, version, expected;
  };
  // A version too high and a buffer too short at once: the three records
  // test the version first, "PIN Information" the size.
  const Case cases[] = {
      {u"Free Space", 16, 0, 2, SCARD_E_INVALID_PARAMETER},
      {u"Free Space", 15, 0, 1, ERROR_INSUFFICIENT_BUFFER},
      {u"Free Space", 15, 0, 2, SCARD_E_INVALID_PARAMETER},
      {u"Free Space", 3, 0, 9, ERROR_INSUFFICIENT_BUFFER},  // too short to hold a version
      {u"Capabilities", 12, 0, 2, SCARD_E_INVALID_PARAMETER},
      {u"Capabilities", 11, 0, 1, ERROR_INSUFFICIENT_BUFFER},
      {u"Capabilities", 4, 0, 2, SCARD_E_INVALID_PARAMETER},
      {u"Key Sizes", 20, 3, 2, SCARD_E_INVALID_PARAMETER},
      {u"Key Sizes", 19, 3, 1, ERROR_INSUFFICIENT_BUFFER},
      {u"Key Sizes", 19, 3, 2, SCARD_E_INVALID_PARAMETER},
      {u"Key Sizes", 20, 2, 1, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Key Sizes", 20, 8, 1, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Key Sizes", 20, 0, 1, SCARD_E_INVALID_PARAMETER},
      {u"Key Sizes", 20, 9, 1, SCARD_E_INVALID_PARAMETER},
      {u"PIN Information", 36, 0, 6, SCARD_E_INVALID_PARAMETER},
      {u"PIN Information", 36, 3, 6, SCARD_E_INVALID_PARAMETER},
      {u"PIN Information", 35, 1, 6, ERROR_INSUFFICIENT_BUFFER},
      {u"PIN Information", 36, 1, 7, SCARD_E_INVALID_PARAMETER},
      {u"PIN Information", 35, 1, 7, ERROR_INSUFFICIENT_BUFFER},
  };
  for (const Case& c : cases) {
    const std::u16string n(c.name);
    r = Get(c.name, c.size, c.flags, c.version);
    EXPECT_EQ(r.rc, c.expected) << std::string(n.begin(), n.end()) << " size " << c.size << " flags " << c.flags;
    EXPECT_EQ(r.length, kUnset);
    if (c.size >= 4) {
      EXPECT_EQ(Dword(r.buffer, 0), c.version) << "buffer untouched";
    }
    for (std::size_t i = 4; i < r.buffer.size(); ++i) ASSERT_EQ(r.buffer[i], kFill) << "buffer untouched";
  }

  for (DWORD spec : {AT_ECDSA_P256, AT_ECDHE_P256}) {
    r = Get(u"Key Sizes", 20, spec, 1);
    ASSERT_EQ(r.rc, 0u);
    EXPECT_EQ(r.length, 20u);
    EXPECT_EQ(ToHex(r.buffer), "01 00 00 00 00 01 00 00 00 01 00 00 00 01 00 00 01 00 00 00");
  }
}

TEST_F(PropertiesTest, PinInformationFollowsSettingsAndPinPadMode) {
  SetRegistryString(kSettingsKey, "CacheMode", "0");
  SetRegistryString(kSettingsKey, "UserPCP", "1");
  Acquire(true);
  // dwVersion, type, purpose, change, unblock, policy {version, type, info}, flags
  Result r = Get(u"PIN Information", 36, ROLE_USER, 6);
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(r.length, 36u);
  EXPECT_EQ(ToHex(r.buffer),
            "06 00 00 00 01 00 00 00 05 00 00 00 02 00 00 00 04 00 00 00 "
            "06 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00");
  r = Get(u"PIN Information", 40, ROLE_ADMIN, 0);
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(ToHex({r.buffer.data(), 36}),
            "00 00 00 00 01 00 00 00 06 00 00 00 04 00 00 00 00 00 00 00 "
            "06 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(ToHex(Get(u"Cache Mode", 4).buffer), "00 00 00 00");
}

TEST_F(PropertiesTest, PinInformationWithoutPinPadIsAlphanumeric) {
  Acquire();
  const Result r = Get(u"PIN Information", 36, ROLE_USER, 6);
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(Dword(r.buffer, 4), static_cast<DWORD>(AlphaNumericPinType));
  EXPECT_EQ(Dword(r.buffer, 24), static_cast<DWORD>(PinCacheNormal));
}

TEST_F(PropertiesTest, QueryEntries) {
  Acquire();
  card_.ExpectSelectApplication();
  CARD_CAPABILITIES caps{1, 7, 7};
  EXPECT_EQ(CardQueryCapabilities(host_.get(), &caps), 0u);
  EXPECT_EQ(caps.dwVersion, 1u);
  EXPECT_EQ(caps.fCertificateCompression, 1);
  EXPECT_EQ(caps.fKeyGen, 0);
  card_.ExpectSelectApplication();
  caps.dwVersion = 2;
  EXPECT_EQ(CardQueryCapabilities(host_.get(), &caps), ERROR_REVISION_MISMATCH);
  card_.ExpectSelectApplication();
  EXPECT_EQ(CardQueryCapabilities(host_.get(), nullptr), SCARD_E_INVALID_PARAMETER);

  struct KeySizeCase {
    DWORD spec, flags, version, expected;
  };
  const KeySizeCase keyCases[] = {
      {AT_ECDHE_P256, 0, 1, 0},
      {AT_ECDSA_P384, 0, 1, SCARD_E_UNSUPPORTED_FEATURE},
      {AT_KEYEXCHANGE, 0, 1, SCARD_E_UNSUPPORTED_FEATURE},
      {0, 0, 1, SCARD_E_INVALID_PARAMETER},
      {AT_ECDSA_P256, 1, 1, SCARD_E_INVALID_PARAMETER},
      {AT_ECDSA_P256, 0, 2, ERROR_REVISION_MISMATCH},
  };
  for (const KeySizeCase& c : keyCases) {
    card_.ExpectSelectApplication();
    CARD_KEY_SIZES sizes{c.version, 9, 9, 9, 9};
    EXPECT_EQ(CardQueryKeySizes(host_.get(), c.spec, c.flags, &sizes), c.expected) << c.spec;
    EXPECT_EQ(sizes.dwMinimumBitlen, c.expected == 0 ? 256u : 9u);
    EXPECT_EQ(sizes.dwIncrementalBitlen, c.expected == 0 ? 1u : 9u);
    EXPECT_EQ(sizes.dwVersion, c.version);
  }

  card_.ExpectSelectApplication();
  CARD_FREE_SPACE_INFO space{0, 9, 9, 9};
  EXPECT_EQ(CardQueryFreeSpace(host_.get(), 0, &space), 0u);
  EXPECT_EQ(space.dwVersion, 0u);
  EXPECT_EQ(space.dwBytesAvailable, 0u);
  EXPECT_EQ(space.dwKeyContainersAvailable, 8u);
  EXPECT_EQ(space.dwMaxKeyContainers, 8u);
  card_.ExpectSelectApplication();
  EXPECT_EQ(CardQueryFreeSpace(host_.get(), 1, &space), SCARD_E_INVALID_PARAMETER);
  card_.ExpectSelectApplication();
  space.dwVersion = 2;
  EXPECT_EQ(CardQueryFreeSpace(host_.get(), 0, &space), ERROR_REVISION_MISMATCH);
}

TEST(PropertiesWithoutContextTest, EveryEntryRefusesARecordItCannotCheck) {
  CARD_DATA data{};
  BYTE buffer[40] = {};
  DWORD length = 0;
  CARD_CAPABILITIES caps{};
  CARD_KEY_SIZES sizes{};
  CARD_FREE_SPACE_INFO space{};
  for (CARD_DATA* cd : {static_cast<CARD_DATA*>(nullptr), &data}) {
    EXPECT_EQ(CardGetProperty(cd, u"Read Only Mode", buffer, 4, &length, 0), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(CardSetProperty(cd, u"PIN Context String", nullptr, 0, 0), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(CardQueryCapabilities(cd, &caps), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(CardQueryKeySizes(cd, AT_ECDSA_P256, 0, &sizes), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(CardQueryFreeSpace(cd, 0, &space), SCARD_E_INVALID_PARAMETER);
  }
}

TEST_F(PropertiesTest, SetChecksInOrder) {
  Acquire(true);
  const DWORD one = 1;
  struct Case {
    const char16_t* name;
    bool data;
    DWORD expected;
  };
  const Case cases[] = {
      {nullptr, true, SCARD_E_INVALID_PARAMETER},
      {u"Free Space", false, SCARD_E_INVALID_PARAMETER},
      {u"Parent Window", false, SCARD_E_INVALID_PARAMETER},
      {u"Read Only Mode", true, SCARD_E_INVALID_PARAMETER},
      {u"No Such Name", true, SCARD_E_INVALID_PARAMETER},
      {u"Free Space", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Capabilities", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Key Sizes", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"PIN List", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Authenticated State", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Key Import Support", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Algorithms", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Padding Schemes", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Chaining Modes", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Cache Mode", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Supports Windows x.509 Enrollment", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Card Identifier", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Card Serial Number", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"PIN Information", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"PIN Strength Verify", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"PIN Strength Change", true, SCARD_E_UNSUPPORTED_FEATURE},
      {u"PIN Strength Unblock", true, SCARD_E_UNSUPPORTED_FEATURE},
  };
  for (const Case& c : cases) {
    card_.ExpectSelectApplication();
    const DWORD rc = host_->pfnCardSetProperty(host_.get(), c.name,
                                               c.data ? reinterpret_cast<PBYTE>(const_cast<DWORD*>(&one)) : nullptr,
                                               4, 0);
    const std::u16string n = c.name ? c.name : u"(null)";
    EXPECT_EQ(rc, c.expected) << std::string(n.begin(), n.end());
  }
}

TEST_F(PropertiesTest, PinContextStringRoundTrip) {
  Acquire();
  Result r = Get(u"PIN Context String", 2);
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(ToHex(r.buffer), "00 00");
  EXPECT_EQ(r.length, 2u) << "bytes written, terminator included";

  const std::u16string longest(128, u'x');
  ASSERT_EQ(Set(u"PIN Context String", longest.c_str(), 258), 0u);
  r = Get(u"PIN Context String", 257);
  EXPECT_EQ(r.rc, ERROR_INSUFFICIENT_BUFFER);
  r = Get(u"PIN Context String", 300);
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(r.length, 258u);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(r.buffer.data()), 129), longest + u'\0');

  // Refusals keep the stored string.
  const std::u16string tooLong(129, u'y');
  EXPECT_EQ(Set(u"PIN Context String", tooLong.c_str(), 260), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(Set(u"PIN Context String", u"", 2), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(Get(u"PIN Context String", 300).length, 258u);

  ASSERT_EQ(Set(u"PIN Context String", u"Signatur", 18, 7), 0u) << "flags are not looked at";
  r = Get(u"PIN Context String", 18);
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(r.buffer.data()), 9), std::u16string(u"Signatur") + u'\0');

  ASSERT_EQ(Set(u"PIN Context String", nullptr, 0), 0u);
  EXPECT_EQ(Get(u"PIN Context String", 4).length, 2u);
}

// The terminator must lie within the host's buffer; the buffers below hold
// exactly cbDataLen bytes, so a read past them shows under AddressSanitizer.
TEST_F(PropertiesTest, PinContextStringIsNeverReadPastTheHostBuffer) {
  Acquire();
  struct Case {
    std::u16string text;  // stored without a terminator unless it has one
    DWORD length;
    DWORD expected;
  };
  const Case cases[] = {
      {u"abc", 6, SCARD_E_INVALID_PARAMETER},
      {u"abc", 7, SCARD_E_INVALID_PARAMETER},
      {std::u16string(u"abc") + u'\0', 8, 0},
      {std::u16string(200, u'z'), 400, SCARD_E_INVALID_PARAMETER},
      {std::u16string(u"a") + u'\0', 1, SCARD_E_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> bytes(c.length);
    std::memcpy(bytes.data(), c.text.data(), std::min<std::size_t>(c.length, c.text.size() * 2));
    EXPECT_EQ(Set(u"PIN Context String", bytes.data(), c.length), c.expected) << c.length;
  }
  EXPECT_EQ(Get(u"PIN Context String", 8).length, 8u);
}

TEST_F(PropertiesTest, ParentWindowNeedsPinPadMode) {
  Acquire(false);
  HWND window = nullptr;
  EXPECT_EQ(Set(u"Parent Window", &window, 8), SCARD_E_UNSUPPORTED_FEATURE);
  EXPECT_EQ(Set(u"Parent Window", &window, 4), SCARD_E_INVALID_PARAMETER);
}

TEST_F(PropertiesTest, ParentWindowChecks) {
  Acquire(true);
  HWND const unicode = reinterpret_cast<HWND>(0x1001), ansi = reinterpret_cast<HWND>(0x1002),
             noInfo = reinterpret_cast<HWND>(0x1003), unknown = reinterpret_cast<HWND>(0x1004);
  RegisterWindow(unicode);
  RegisterWindow(ansi, false);
  RegisterWindow(noInfo, true, false);
  struct Case {
    HWND window;
    DWORD size, flags, expected;
  };
  const Case cases[] = {
      {unicode, 4, 0, SCARD_E_INVALID_PARAMETER}, {unicode, 16, 0, SCARD_E_INVALID_PARAMETER},
      {unicode, 8, 1, SCARD_E_INVALID_PARAMETER}, {unknown, 8, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {noInfo, 8, 0, SCARD_E_INVALID_PARAMETER},  {ansi, 8, 0, 0},
      {unicode, 8, 0, 0},
  };
  for (const Case& c : cases) {
    HWND buffer[2] = {c.window, nullptr};
    EXPECT_EQ(Set(u"Parent Window", buffer, c.size, c.flags), c.expected) << c.window;
  }
  EXPECT_EQ(ContextOf(host_.get())->parentWindow, unicode);

  HWND none = nullptr;
  ASSERT_EQ(Set(u"Parent Window", &none, 8), 0u);
  EXPECT_EQ(ContextOf(host_.get())->parentWindow, platform::DesktopWindow());

  // The card handle is checked last.
  const SCARDHANDLE card = host_->hScard;
  host_->hScard = 0;
  HWND other = unicode;
  EXPECT_EQ(host_->pfnCardSetProperty(host_.get(), u"Parent Window", reinterpret_cast<PBYTE>(&other), 8, 0),
            SCARD_E_INVALID_HANDLE);
  host_->hScard = card;
  EXPECT_EQ(ContextOf(host_.get())->parentWindow, platform::DesktopWindow());
  ForgetWindows();
}

}  // namespace
}  // namespace vela::test
