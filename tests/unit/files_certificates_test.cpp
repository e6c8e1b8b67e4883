#include <string>

#include "files_fixture.h"

namespace vela::test {
namespace {

class CertificatesTest : public FilesTest {
 protected:
  // Both application selects of a listing: the entry's and the lookup's.
  void ExpectListingStart() { card_.ExpectSelectApplication().ExpectSelectApplication(); }
  std::string List(const char* directory = "mscp") {
    HostBlock names;
    EXPECT_EQ(EnumFiles(directory, &names), 0u);
    const std::vector<BYTE> bytes = names.bytes();
    EXPECT_EQ(names.size, bytes.size());
    return std::string(bytes.begin(), bytes.end());
  }
};

constexpr char kSelectDf02Cert0[] = "00 A4 08 0C 04 DF 02 C0 00";

TEST_F(CertificatesTest, ListingSelectsTheFirstFileOfEachDfByPath) {
  Acquire();
  for (const char* directory : {"mscp", "MSCP", "Mscp"}) {
    ExpectListingStart();
    card_.Expect(kSelectDf02Cert0, "9000");
    for (const char* id : {"43 31", "C5 00", "43 71", "C2 00", "43 B1", "C2 01"}) {
      card_.Expect(std::string("00 A4 02 0C 02 ") + id, "9000");
    }
    card_.Expect("00 A4 08 0C 04 DF 01 C0 01", "9000");
    EXPECT_EQ(List(directory), std::string("ksc00\0ksc01\0ksc02\0ksc03\0kxc04\0kxc05\0kxc06\0ksc07\0cmapfile\0\0", 58))
        << directory;
  }
}

TEST_F(CertificatesTest, FilesTheCardLacksAreLeftOutAndTheDfIsFoundAgainByPath) {
  Acquire();
  ExpectListingStart();
  card_.Expect(kSelectDf02Cert0, "6A 82");
  card_.Expect("00 A4 08 0C 04 DF 02 43 31", "9000");  // no DF02 file found yet: by path
  card_.Expect("00 A4 02 0C 02 C5 00", "6A 82");
  card_.Expect("00 A4 02 0C 02 43 71", "9000");
  card_.ExpectError("00 A4 02 0C 02 C2 00", SCARD_W_REMOVED_CARD);
  card_.Expect("00 A4 02 0C 02 43 B1", "62 83");  // only 9000 counts
  card_.Expect("00 A4 02 0C 02 C2 01", "9000");
  card_.Expect("00 A4 08 0C 04 DF 01 C0 01", "6A 82");
  EXPECT_EQ(List(), std::string("ksc01\0ksc03\0kxc06\0cmapfile\0\0", 28));
}

// The listing asks the card, not the profile: a certificate of a container
// the profile left out is listed, but not delivered.
TEST_F(CertificatesTest, CertificateOfAnAbsentContainerIsListedButNotRead) {
  Acquire(/*container6=*/false, /*container7=*/true);
  ExpectListingStart();
  card_.Expect(kSelectDf02Cert0, "9000");
  for (const char* id : {"43 31", "C5 00", "43 71", "C2 00", "43 B1", "C2 01"}) {
    card_.Expect(std::string("00 A4 02 0C 02 ") + id, "9000");
  }
  card_.Expect("00 A4 08 0C 04 DF 01 C0 01", "9000");
  EXPECT_NE(List().find(std::string("kxc06\0", 6)), std::string::npos);

  card_.ExpectSelectApplication();
  HostBlock file;
  EXPECT_EQ(ReadFile("mscp", "kxc06", &file), SCARD_E_FILE_NOT_FOUND);
  EXPECT_EQ(file.data, nullptr);
  EXPECT_EQ(file.size, 0u);
}

TEST_F(CertificatesTest, CertificateNamesSelectTheirEntry) {
  Acquire();
  // Entry 10 gets entry 0's files so that names with hex letters have a target.
  profile().entries[10] = profile().entries[0];
  profile().containerStatus[10] = kContainerPresent;
  struct Case {
    const char* name;
    const char* select;  // null: no file may be selected
  };
  const Case cases[] = {
      {"ksc0a", kSelectDf02Cert0},
      {"ksc0A", kSelectDf02Cert0},
      {"kxc04", "00 A4 08 0C 04 DF 02 C2 00"},
      {"ksc07", "00 A4 08 0C 04 DF 01 C0 01"},
      {"KSC00", nullptr},   // the prefix keeps its case
      {"Ksc00", nullptr},
      {"ksc04", nullptr},   // entry 4 holds a key-exchange key
      {"kxc00", nullptr},   // and entry 0 a signature key
      {"ksc1F", nullptr},   // entry 31
      {"kscFF", nullptr},
      {"ksc0B", nullptr},   // entry 11 is empty
      {"ksc0", nullptr},
      {"ksc000", nullptr},
      {"kac00", nullptr},
  };
  const std::vector<BYTE> certificate = Pattern(40);
  for (const Case& c : cases) {
    card_.ExpectSelectApplication();
    if (c.select != nullptr) {
      card_.Expect(c.select, "9000");
      ExpectFileRead(certificate);
    }
    HostBlock file;
    const DWORD rc = ReadFile("mscp", c.name, &file);
    if (c.select != nullptr) {
      EXPECT_EQ(rc, 0u) << c.name;
      EXPECT_EQ(file.bytes(), certificate) << c.name;
    } else {
      EXPECT_EQ(rc, SCARD_E_FILE_NOT_FOUND) << c.name;
      EXPECT_EQ(file.data, nullptr) << c.name;
    }
    EXPECT_TRUE(card_.done()) << c.name;
  }
}

// The host gets every byte the card holds, trailing zeros included, with one
// READ BINARY per 255 bytes and one more that ends the file.
TEST_F(CertificatesTest, CertificateIsReadWholeInChunks) {
  Acquire();
  for (std::size_t length : {600u, 510u, 255u, 254u, 1u}) {
    std::vector<BYTE> certificate = Pattern(length);
    if (length > 100) std::fill(certificate.end() - 40, certificate.end(), 0);
    card_.ExpectSelectApplication().Expect(kSelectDf02Cert0, "9000");
    ExpectFileRead(certificate);
    const std::size_t before = card_.received().size();
    HostBlock file;
    ASSERT_EQ(ReadFile("mscp", "ksc00", &file), 0u) << length;
    EXPECT_EQ(file.size, length);
    EXPECT_EQ(file.bytes(), certificate) << length;
    EXPECT_EQ(card_.received().size() - before, 2 + length / 255 + 1) << length;
  }
}

TEST_F(CertificatesTest, ThreeReadsAtTheStatedOffsetsFor600Bytes) {
  Acquire();
  card_.ExpectSelectApplication().Expect(kSelectDf02Cert0, "9000");
  const std::vector<BYTE> certificate = Pattern(600);
  ExpectFileRead(certificate);
  HostBlock file;
  ASSERT_EQ(ReadFile("mscp", "ksc00", &file), 0u);
  const auto received = card_.received();
  ASSERT_GE(received.size(), 3u);
  EXPECT_EQ(ToHex(received[received.size() - 3]), "00 B0 00 00 FF");
  EXPECT_EQ(ToHex(received[received.size() - 2]), "00 B0 00 FF FF");
  EXPECT_EQ(ToHex(received[received.size() - 1]), "00 B0 01 FE FF");
}

TEST_F(CertificatesTest, FailedReadsAreFileNotFoundAndLeaveNothingBehind) {
  Acquire();
  const auto expectNotFound = [this](const char* what) {
    HostBlock file;
    EXPECT_EQ(ReadFile("mscp", "ksc00", &file), SCARD_E_FILE_NOT_FOUND) << what;
    EXPECT_EQ(file.data, nullptr) << what;
    EXPECT_EQ(file.size, 0u) << what;
    EXPECT_TRUE(card_.done()) << what;
  };
  const std::vector<BYTE> chunk = Pattern(255);
  std::vector<BYTE> fullChunk = chunk;
  fullChunk.insert(fullChunk.end(), {0x90, 0x00});

  card_.ExpectSelectApplication().Expect(kSelectDf02Cert0, "6A 82");
  expectNotFound("select refused");

  card_.ExpectSelectApplication().Expect(kSelectDf02Cert0, "9000");
  card_.Expect(Hex("00 B0 00 00 FF"), fullChunk).ExpectError("00 B0 00 FF FF", SCARD_W_REMOVED_CARD);
  expectNotFound("card removed mid-file");

  // An empty read means the card let us read nothing: no certificate.
  card_.ExpectSelectApplication().Expect(kSelectDf02Cert0, "9000").Expect("00 B0 00 00 FF", "69 82");
  expectNotFound("read refused");

  std::vector<BYTE> tooLong = Pattern(256);
  tooLong.insert(tooLong.end(), {0x90, 0x00});
  card_.ExpectSelectApplication().Expect(kSelectDf02Cert0, "9000").Expect(Hex("00 B0 00 00 FF"), tooLong);
  expectNotFound("chunk above 255 bytes");

  // 41 full chunks pass the 10240 bytes a file may hold.
  card_.ExpectSelectApplication().Expect(kSelectDf02Cert0, "9000");
  for (std::size_t offset = 0; offset <= 40 * 255; offset += 255) {
    card_.Expect({0x00, 0xB0, static_cast<BYTE>(offset >> 8), static_cast<BYTE>(offset), 0xFF}, fullChunk);
  }
  expectNotFound("file above 10240 bytes");

  // One byte more than fits: the last chunk (41 bytes) would end one byte
  // past the module's staging area.
  card_.ExpectSelectApplication().Expect(kSelectDf02Cert0, "9000");
  ExpectFileRead(Pattern(10241));
  expectNotFound("file of 10241 bytes");
}

TEST_F(CertificatesTest, LargestFileIsDelivered) {
  Acquire();
  const std::vector<BYTE> certificate = Pattern(10240);
  card_.ExpectSelectApplication().Expect(kSelectDf02Cert0, "9000");
  ExpectFileRead(certificate);
  HostBlock file;
  ASSERT_EQ(ReadFile("mscp", "ksc00", &file), 0u);
  EXPECT_EQ(file.bytes(), certificate);
}

TEST_F(CertificatesTest, HostAllocatorFailureAfterTheReadIsNoMemory) {
  Acquire();
  card_.ExpectSelectApplication().Expect(kSelectDf02Cert0, "9000");
  ExpectFileRead(Pattern(300));
  HostHeap::FailAllocations(0, 1);
  HostBlock file;
  EXPECT_EQ(ReadFile("mscp", "ksc00", &file), SCARD_E_NO_MEMORY);
  EXPECT_EQ(file.data, nullptr);
  EXPECT_EQ(file.size, 0u);
}

// One record of cmapfile: the name in UTF-16LE, then flags and key sizes.
std::vector<BYTE> MapRecord(const std::string& name, BYTE flags, WORD sigBits, WORD exchangeBits) {
  std::vector<BYTE> record(86, 0);
  for (std::size_t i = 0; i < name.size(); ++i) record[2 * i] = static_cast<BYTE>(name[i]);
  record[80] = flags;
  record[82] = static_cast<BYTE>(sigBits);
  record[83] = static_cast<BYTE>(sigBits >> 8);
  record[84] = static_cast<BYTE>(exchangeBits);
  record[85] = static_cast<BYTE>(exchangeBits >> 8);
  return record;
}

std::vector<BYTE> ContainerMap(const std::vector<std::vector<BYTE>>& records) {
  std::vector<BYTE> map;
  for (const auto& record : records) map.insert(map.end(), record.begin(), record.end());
  map.resize(1376, 0);
  return map;
}

TEST_F(CertificatesTest, ContainerMapNamesEveryPresentContainer) {
  Acquire(/*container6=*/false, /*container7=*/true, "0A1B2C3D4E5F60718293");
  card_.ExpectSelectApplication();
  HostBlock map;
  ASSERT_EQ(ReadFile("MSCP", "CmapFile", &map), 0u);
  EXPECT_EQ(map.size, 1376u);
  const std::vector<BYTE> absent(86, 0);
  EXPECT_EQ(map.bytes(), ContainerMap({
                             MapRecord("0A1B2C3D4E5F60718293-DF02-C000", 3, 256, 0),
                             MapRecord("0A1B2C3D4E5F60718293-DF02-4331", 1, 256, 0),
                             MapRecord("0A1B2C3D4E5F60718293-DF02-C500", 1, 256, 0),
                             MapRecord("0A1B2C3D4E5F60718293-DF02-4371", 1, 256, 0),
                             MapRecord("0A1B2C3D4E5F60718293-DF02-C200", 1, 0, 256),
                             MapRecord("0A1B2C3D4E5F60718293-DF02-43B1", 1, 0, 256),
                             absent,
                             MapRecord("0A1B2C3D4E5F60718293-DF01-C001", 1, 256, 0),
                         }));
  EXPECT_EQ(card_.received().back(), Hex("00 A4 08 0C 04 DF 02 80 FF")) << "built without the card";
}

TEST_F(CertificatesTest, ContainerMapKeepsRecordPositions) {
  Acquire(true, true, "0102030405060708");  // a short serial ends in zeros
  const std::vector<BYTE> entry0 = MapRecord("01020304050607080000-DF02-C000", 3, 256, 0);
  struct Case {
    const char* what;
    BYTE keepPresent;  // containers below this stay present
    std::vector<BYTE> expected;
  };
  const Case cases[] = {
      {"only entry 0", 1, ContainerMap({entry0})},
      {"none", 0, std::vector<BYTE>(1376, 0)},
  };
  for (const Case& c : cases) {
    for (std::size_t i = c.keepPresent; i < kMaxContainers; ++i) profile().containerStatus[i] = kContainerAbsent;
    card_.ExpectSelectApplication();
    HostBlock map;
    ASSERT_EQ(ReadFile("mscp", "cmapfile", &map), 0u) << c.what;
    EXPECT_EQ(map.bytes(), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace vela::test
