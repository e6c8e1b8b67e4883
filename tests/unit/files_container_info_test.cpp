#include <cstring>
#include <string>

#include "files_fixture.h"

namespace vela::test {
namespace {

const std::vector<BYTE> kPoint = Pattern(64, 0x11);  // X then Y

std::vector<BYTE> Concat(std::initializer_list<std::vector<BYTE>> parts) {
  std::vector<BYTE> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The file as the card personalises it: 7F49, the curve's OID, the point.
const std::vector<BYTE> kTemplate =
    Concat({Hex("7F 49 4D 06 08 2A 86 48 CE 3D 03 01 07 86 41 04"), kPoint});

class ContainerInfoTest : public FilesTest {
 protected:
  // The card side of a container-info call: application, key file, its read.
  void ExpectKeyRead(const std::string& select, const std::vector<BYTE>& file) {
    card_.ExpectSelectApplication().Expect(select, "9000");
    ExpectFileRead(file);
  }
  // Frees the blobs the module handed out.
  static void ReleaseKeys(CONTAINER_INFO& info) {
    HostRelease(info.pbSigPublicKey);
    HostRelease(info.pbKeyExPublicKey);
  }
  static CONTAINER_INFO FreshInfo(DWORD version = 1) {
    CONTAINER_INFO info;
    std::memset(&info, 0xCC, sizeof(info));
    info.dwVersion = version;
    return info;
  }
};

TEST_F(ContainerInfoTest, SignatureAndKeyExchangeKeysGoToTheirHalves) {
  Acquire();
  struct Case {
    BYTE container;
    const char* select;
    const char* header;
    bool signature;
  };
  const Case cases[] = {
      {0, "00 A4 02 0C 02 45 31", "45 43 53 31 20 00 00 00", true},
      {3, "00 A4 02 0C 02 45 71", "45 43 53 31 20 00 00 00", true},
      {4, "00 A4 02 0C 02 45 B1", "45 43 4B 31 20 00 00 00", false},
      {6, "00 A4 02 0C 02 45 B2", "45 43 4B 31 20 00 00 00", false},
      // Container 7 lives in DF01: its own key file there, as the acquire probed it.
      {7, "00 A4 08 0C 04 DF 01 45 B2", "45 43 53 31 20 00 00 00", true},
  };
  for (const Case& c : cases) {
    ExpectKeyRead(c.select, kTemplate);
    CONTAINER_INFO info = FreshInfo(0);
    ASSERT_EQ(CardGetContainerInfo(host_.get(), c.container, 0, &info), 0u) << int(c.container);
    EXPECT_EQ(info.dwVersion, 0u);
    EXPECT_EQ(info.dwReserved, 0u);
    const DWORD size = c.signature ? info.cbSigPublicKey : info.cbKeyExPublicKey;
    const BYTE* blob = c.signature ? info.pbSigPublicKey : info.pbKeyExPublicKey;
    EXPECT_EQ(c.signature ? info.cbKeyExPublicKey : info.cbSigPublicKey, 0u);
    EXPECT_EQ(c.signature ? info.pbKeyExPublicKey : info.pbSigPublicKey, nullptr);
    ASSERT_EQ(size, 72u);
    ASSERT_NE(blob, nullptr);
    EXPECT_EQ(ToHex({blob, 8}), c.header) << int(c.container);
    EXPECT_EQ(std::vector<BYTE>(blob + 8, blob + 72), kPoint) << int(c.container);
    ReleaseKeys(info);
  }
}

// Length forms of the template and the objects before the point; anything
// that would need a byte past the file is no key.
TEST_F(ContainerInfoTest, PublicKeyTemplateVariants) {
  Acquire();
  const std::vector<BYTE> oid = Hex("06 08 2A 86 48 CE 3D 03 01 07");
  const std::vector<BYTE> point = Concat({Hex("86 41 04"), kPoint});
  struct Case {
    const char* what;
    std::vector<BYTE> file;
    bool found;
  };
  const Case cases[] = {
      {"short length, point only", Concat({Hex("7F 49 43"), point}), true},
      {"81 length, 06 stepped over", Concat({Hex("7F 49 81 4D"), oid, point}), true},
      {"82 length", Concat({Hex("7F 49 82 00 4D"), oid, point}), true},
      {"unknown objects stepped over", Concat({Hex("7F 49 50 87 00 88 01 FF"), oid, point}), true},
      {"bytes after the point", Concat({Hex("7F 49 43"), point, Hex("00 00 00")}), true},
      {"83 length", Concat({Hex("7F 49 83 00 00 4D"), oid, point}), false},
      {"80 length", Concat({Hex("7F 49 80"), point}), false},
      {"not a 7F49 template", Concat({Hex("30 82 00 4D"), oid, point}), false},
      {"7F4A", Concat({Hex("7F 4A 43"), point}), false},
      {"no point object", Concat({Hex("7F 49 0A"), oid}), false},
      {"empty file", {}, false},
      {"one byte", Hex("7F"), false},
      {"tag only", Hex("7F 49"), false},
      {"header only", Hex("7F 49 43"), false},
      {"shorter than its 82 header", Hex("7F 49 82 00"), false},
      {"tag without length byte", Hex("7F 49 43 06"), false},
      {"06 runs past the end", Concat({Hex("7F 49 43 06 7F"), kPoint}), false},
      {"point object runs past the end", Concat({Hex("7F 49 43 86 50 04"), kPoint}), false},
      {"point shorter than 2L", Concat({Hex("7F 49 43 86 41 04"), Pattern(63)}), false},
      {"86 at the last byte", Hex("7F 49 43 86"), false},
  };
  for (const Case& c : cases) {
    ExpectKeyRead("00 A4 02 0C 02 45 31", c.file);
    CONTAINER_INFO info = FreshInfo();
    const DWORD rc = CardGetContainerInfo(host_.get(), 0, 0, &info);
    if (c.found) {
      EXPECT_EQ(rc, 0u) << c.what;
      ASSERT_EQ(info.cbSigPublicKey, 72u) << c.what;
      EXPECT_EQ(std::vector<BYTE>(info.pbSigPublicKey + 8, info.pbSigPublicKey + 72), kPoint) << c.what;
    } else {
      EXPECT_EQ(rc, SCARD_E_NO_KEY_CONTAINER) << c.what;
      EXPECT_EQ(info.cbSigPublicKey, 0u) << c.what;
      EXPECT_EQ(info.pbSigPublicKey, nullptr) << c.what;
    }
    EXPECT_EQ(info.cbKeyExPublicKey, 0u) << c.what;
    EXPECT_EQ(info.pbKeyExPublicKey, nullptr) << c.what;
    ReleaseKeys(info);
  }
}

TEST_F(ContainerInfoTest, RefusalsBeforeTheCardIsAsked) {
  Acquire(/*container6=*/false);
  struct Case {
    const char* what;
    BYTE container;
    DWORD flags;
    DWORD version;
    bool record;
    DWORD expected;
  };
  const Case cases[] = {
      {"no record", 0, 0, 1, false, SCARD_E_INVALID_PARAMETER},
      {"flags", 0, 1, 1, true, SCARD_E_INVALID_PARAMETER},
      {"flags before version", 0, 1, 2, true, SCARD_E_INVALID_PARAMETER},
      {"version 2", 0, 0, 2, true, ERROR_REVISION_MISMATCH},
      {"version before index", 16, 0, 2, true, ERROR_REVISION_MISMATCH},
      {"index 16", 16, 0, 1, true, SCARD_E_NO_KEY_CONTAINER},
      {"index 255", 255, 0, 1, true, SCARD_E_NO_KEY_CONTAINER},
      {"absent container", 6, 0, 1, true, SCARD_E_NO_KEY_CONTAINER},
      {"empty entry", 9, 0, 1, true, SCARD_E_NO_KEY_CONTAINER},
  };
  for (const Case& c : cases) {
    card_.ExpectSelectApplication();
    CONTAINER_INFO info = FreshInfo(c.version);
    EXPECT_EQ(CardGetContainerInfo(host_.get(), c.container, c.flags, c.record ? &info : nullptr), c.expected)
        << c.what;
    EXPECT_EQ(info.cbSigPublicKey, 0xCCCCCCCCu) << c.what << ": record changed";
  }
  CONTAINER_INFO info = FreshInfo();
  EXPECT_EQ(CardGetContainerInfo(nullptr, 0, 0, &info), SCARD_E_INVALID_PARAMETER);
}

TEST_F(ContainerInfoTest, CardFailuresLeaveTheRecordCleared) {
  Acquire();
  const auto expectCleared = [this](const char* what, DWORD expected) {
    CONTAINER_INFO info = FreshInfo();
    EXPECT_EQ(CardGetContainerInfo(host_.get(), 4, 0, &info), expected) << what;
    EXPECT_EQ(info.dwVersion, 1u) << what;
    EXPECT_EQ(info.dwReserved, 0u) << what;
    EXPECT_EQ(info.cbSigPublicKey, 0u) << what;
    EXPECT_EQ(info.pbSigPublicKey, nullptr) << what;
    EXPECT_EQ(info.cbKeyExPublicKey, 0u) << what;
    EXPECT_EQ(info.pbKeyExPublicKey, nullptr) << what;
    EXPECT_TRUE(card_.done()) << what;
  };
  card_.ExpectSelectApplication().Expect("00 A4 02 0C 02 45 B1", "6A 82");
  expectCleared("select refused", SCARD_F_INTERNAL_ERROR);
  card_.ExpectSelectApplication().Expect("00 A4 02 0C 02 45 B1", "9000");
  card_.ExpectError("00 B0 00 00 FF", SCARD_W_REMOVED_CARD);
  expectCleared("card removed", SCARD_F_INTERNAL_ERROR);
}

TEST_F(ContainerInfoTest, AllocatorFailureKeepsTheSizeWithoutABlob) {
  Acquire();
  ExpectKeyRead("00 A4 02 0C 02 45 B1", kTemplate);
  HostHeap::FailAllocations(0, 1);
  CONTAINER_INFO info = FreshInfo();
  EXPECT_EQ(CardGetContainerInfo(host_.get(), 4, 0, &info), SCARD_E_NO_MEMORY);
  EXPECT_EQ(info.cbKeyExPublicKey, 72u);
  EXPECT_EQ(info.pbKeyExPublicKey, nullptr);
  EXPECT_EQ(info.pbSigPublicKey, nullptr);
}

class ContainerPropertyTest : public ContainerInfoTest {
 protected:
  DWORD Get(BYTE container, const char16_t* property, BYTE* data, DWORD size, DWORD* length, DWORD flags = 0) {
    return CardGetContainerProperty(host_.get(), container, property, data, size, length, flags);
  }
};

TEST_F(ContainerPropertyTest, PinIdentifierAndAssociatedKey) {
  Acquire();
  for (BYTE container = 0; container < 8; ++container) {
    BYTE data[8];
    std::memset(data, 0xCC, sizeof(data));
    DWORD length = 99;
    card_.ExpectSelectApplication();
    ASSERT_EQ(Get(container, u"PIN Identifier", data, 4, &length), 0u);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(ToHex({data, 5}), "01 00 00 00 CC");

    card_.ExpectSelectApplication();
    ASSERT_EQ(Get(container, u"Associated ECDH Key", data, 1, &length), 0u);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(data[0], container < 4 ? 4 : 0) << int(container);
    EXPECT_EQ(data[1], 0x00) << "the PIN identifier is still there";
  }
}

TEST_F(ContainerPropertyTest, ContainerInfoRunsTheContainerEntry) {
  Acquire();
  // The property's check and the container entry's each select the application.
  card_.ExpectSelectApplication();
  ExpectKeyRead("00 A4 02 0C 02 45 31", kTemplate);
  // One byte off alignment, as a host's buffer may be.
  alignas(8) BYTE buffer[48];
  std::memset(buffer, 0xCC, sizeof(buffer));
  BYTE* data = buffer + 1;
  std::memset(data, 0, 4);
  DWORD length = 99;
  ASSERT_EQ(Get(0, u"Container Info", data, 40, &length), 0u);
  EXPECT_EQ(length, 40u);
  CONTAINER_INFO info;
  std::memcpy(&info, data, sizeof(info));
  EXPECT_EQ(info.cbSigPublicKey, 72u);
  ASSERT_NE(info.pbSigPublicKey, nullptr);
  EXPECT_EQ(ToHex({info.pbSigPublicKey, 8}), "45 43 53 31 20 00 00 00");
  EXPECT_EQ(buffer[41], 0xCC) << "written past the record";
  ReleaseKeys(info);

  // A card that does not answer: the length is already stored.
  card_.ExpectSelectApplication().ExpectSelectApplication().Expect("00 A4 02 0C 02 45 31", "6A 82");
  std::memset(data, 0, 4);
  length = 99;
  EXPECT_EQ(Get(0, u"Container Info", data, 40, &length), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(length, 40u);
}

TEST_F(ContainerPropertyTest, RefusalsInOrder) {
  Acquire(/*container6=*/false);
  BYTE data[40] = {};
  struct Case {
    const char* what;
    BYTE container;
    const char16_t* property;
    DWORD size;
    DWORD flags;
    BYTE version;  // dwVersion of a Container Info record
    DWORD expected;
  };
  const Case cases[] = {
      {"index 16", 16, u"PIN Identifier", 4, 0, 0, SCARD_E_INVALID_PARAMETER},
      {"absent before null name", 6, nullptr, 4, 0, 0, SCARD_E_NO_KEY_CONTAINER},
      {"absent before flags", 9, u"PIN Identifier", 4, 1, 0, SCARD_E_NO_KEY_CONTAINER},
      {"flags", 0, u"PIN Identifier", 4, 1, 0, SCARD_E_INVALID_PARAMETER},
      {"null name", 0, nullptr, 4, 0, 0, SCARD_E_INVALID_PARAMETER},
      {"letter case", 0, u"Container info", 40, 0, 0, SCARD_E_INVALID_PARAMETER},
      {"trailing text", 0, u"PIN Identifiers", 4, 0, 0, SCARD_E_INVALID_PARAMETER},
      {"prefix", 0, u"PIN", 4, 0, 0, SCARD_E_INVALID_PARAMETER},
      {"unknown", 0, u"Key Usage", 4, 0, 0, SCARD_E_INVALID_PARAMETER},
      {"info 39 bytes", 0, u"Container Info", 39, 0, 0, SCARD_E_INSUFFICIENT_BUFFER},
      {"info version 2", 0, u"Container Info", 40, 0, 2, SCARD_E_INVALID_PARAMETER},
      {"pin 3 bytes", 0, u"PIN Identifier", 3, 0, 0, SCARD_E_INSUFFICIENT_BUFFER},
      {"ecdh 0 bytes", 0, u"Associated ECDH Key", 0, 0, 0, SCARD_E_INSUFFICIENT_BUFFER},
  };
  for (const Case& c : cases) {
    card_.ExpectSelectApplication();
    data[0] = c.version;
    DWORD length = 99;
    EXPECT_EQ(Get(c.container, c.property, data, c.size, &length, c.flags), c.expected) << c.what;
    EXPECT_EQ(length, 99u) << c.what;
  }
  DWORD length = 99;
  card_.ExpectSelectApplication();
  EXPECT_EQ(Get(0, u"PIN Identifier", nullptr, 4, &length), SCARD_E_INVALID_PARAMETER);
  card_.ExpectSelectApplication();
  EXPECT_EQ(Get(0, u"PIN Identifier", data, 4, nullptr), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(CardGetContainerProperty(nullptr, 0, u"PIN Identifier", data, 4, &length, 0), SCARD_E_INVALID_PARAMETER);
}

}  // namespace
}  // namespace vela::test
