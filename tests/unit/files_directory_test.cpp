#include <cstring>
#include <string>

#include "files_fixture.h"

namespace vela::test {
namespace {

using DirectoryTest = FilesTest;

std::string AsText(const std::vector<BYTE>& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST_F(DirectoryTest, RootListsTheThreeFilesInExactly24Bytes) {
  Acquire();
  card_.ExpectSelectApplication();
  HostBlock names;
  ASSERT_EQ(EnumFiles(nullptr, &names), 0u);
  EXPECT_EQ(names.size, 24u);
  EXPECT_EQ(AsText(names.bytes()), std::string("cardapps\0cardcf\0cardid\0\0", 24));
}

TEST_F(DirectoryTest, OtherDirectoryIsNotFoundWithEmptyResult) {
  Acquire();
  card_.ExpectSelectApplication();
  HostBlock names;
  EXPECT_EQ(EnumFiles("apps", &names), SCARD_E_DIR_NOT_FOUND);
  EXPECT_EQ(names.data, nullptr);
  EXPECT_EQ(names.size, 0u);
}

TEST_F(DirectoryTest, FixedFilesComeFromTheProfile) {
  Acquire(true, true, "0A1B2C3D4E5F60718293");
  struct Case {
    const char* directory;
    const char* file;
    const char* content;
  };
  const Case cases[] = {
      {nullptr, "cardcf", "00 00 00 00 00 00"},
      {nullptr, "cardapps", "6D 73 63 70 00 00 00 00"},
      {nullptr, "cardid", "00 00 00 00 00 00 0A 1B 2C 3D 4E 5F 60 71 82 93"},
      {nullptr, "CardID", "00 00 00 00 00 00 0A 1B 2C 3D 4E 5F 60 71 82 93"},
      {nullptr, "CARDAPPS", "6D 73 63 70 00 00 00 00"},
  };
  for (const Case& c : cases) {
    card_.ExpectSelectApplication();
    HostBlock file;
    ASSERT_EQ(ReadFile(c.directory, c.file, &file), 0u) << c.file;
    EXPECT_EQ(ToHex(file.bytes()), c.content) << c.file;
  }
}

TEST_F(DirectoryTest, FilesTheDirectoryDoesNotHoldAreNotFoundWithNullResult) {
  Acquire();
  struct Case {
    const char* directory;
    const char* file;
    DWORD expected;
  };
  const Case cases[] = {
      {nullptr, "cmapfile", SCARD_E_FILE_NOT_FOUND},  // lives in mscp
      {nullptr, "ksc00", SCARD_E_FILE_NOT_FOUND},
      {"mscp", "cardid", SCARD_E_FILE_NOT_FOUND},
      {"apps", "cardid", SCARD_E_DIR_NOT_FOUND},
      {"mscp2", "cmapfile", SCARD_E_DIR_NOT_FOUND},
  };
  for (const Case& c : cases) {
    card_.ExpectSelectApplication();
    HostBlock file;
    EXPECT_EQ(ReadFile(c.directory, c.file, &file), c.expected) << c.file;
    EXPECT_EQ(file.data, nullptr) << c.file;
    EXPECT_EQ(file.size, 0u) << c.file;
  }
}

// Every name a caller passes obeys one rule, in all three entries; a refused
// name changes none of the out-parameters.
TEST_F(DirectoryTest, NamesBreakingTheRuleAreRefusedByEveryEntry) {
  Acquire();
  const char* const badNames[] = {"ninechars", "", "a:b", "a*", "a/b", "x\\y", "q?", "p|", "\"", "<", ">",
                                  "tab\t"};
  for (const char* bad : badNames) {
    HostBlock block;
    CARD_FILE_INFO info{1, 0xAAAA, UnknownAc};
    card_.ExpectSelectApplication();
    EXPECT_EQ(EnumFiles(bad, &block), SCARD_E_INVALID_PARAMETER) << bad;
    card_.ExpectSelectApplication();
    EXPECT_EQ(GetFileInfo(bad, "cardid", &info), SCARD_E_INVALID_PARAMETER) << bad;
    card_.ExpectSelectApplication();
    EXPECT_EQ(GetFileInfo("mscp", bad, &info), SCARD_E_INVALID_PARAMETER) << bad;
    card_.ExpectSelectApplication();
    EXPECT_EQ(ReadFile(bad, "cmapfile", &block), SCARD_E_INVALID_PARAMETER) << bad;
    card_.ExpectSelectApplication();
    EXPECT_EQ(ReadFile("mscp", bad, &block), SCARD_E_INVALID_PARAMETER) << bad;
    EXPECT_TRUE(block.untouched()) << bad;
    EXPECT_EQ(info.cbFileSize, 0xAAAAu) << bad;
  }
  // Eight characters and bytes above 0x7F are within the rule.
  HostBlock block;
  card_.ExpectSelectApplication();
  EXPECT_EQ(ReadFile("abcdefgh", "cardid", &block), SCARD_E_DIR_NOT_FOUND);
  card_.ExpectSelectApplication();
  EXPECT_EQ(ReadFile(nullptr, "\xC3\xA4", &block), SCARD_E_FILE_NOT_FOUND);
  card_.ExpectSelectApplication();
  EXPECT_EQ(ReadFile(nullptr, nullptr, &block), SCARD_E_INVALID_PARAMETER) << "a file name is required";
}

TEST_F(DirectoryTest, FlagsAndMissingPointersAreRefusedBeforeAnyWork) {
  // A record without a context is refused before anything reaches the card.
  PBYTE data = reinterpret_cast<PBYTE>(0x1);
  DWORD size = 5;
  LPSTR names = reinterpret_cast<LPSTR>(0x1);
  CARD_FILE_INFO info{1, 0xAAAA, UnknownAc};
  char cardid[] = "cardid";
  char mscp[] = "mscp";
  char badName[] = "a:b";
  CARD_DATA empty{};
  EXPECT_EQ(CardReadFile(&empty, nullptr, cardid, 0, &data, &size), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(CardEnumFiles(nullptr, nullptr, &names, &size, 0), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(CardGetFileInfo(nullptr, nullptr, cardid, &info), SCARD_E_INVALID_PARAMETER);
  EXPECT_TRUE(card_.received().empty());

  Acquire();
  CARD_DATA* cd = host_.get();
  // Each call sends the application select of its context check first.
  const auto refused = [&](const char* what, DWORD rc) {
    EXPECT_EQ(rc, SCARD_E_INVALID_PARAMETER) << what;
    card_.ExpectSelectApplication();
  };
  card_.ExpectSelectApplication();
  refused("read flags", CardReadFile(cd, nullptr, cardid, 1, &data, &size));
  refused("read data", CardReadFile(cd, nullptr, cardid, 0, nullptr, &size));
  refused("read size", CardReadFile(cd, nullptr, cardid, 0, &data, nullptr));
  refused("enum flags", CardEnumFiles(cd, mscp, &names, &size, 2));
  refused("enum size", CardEnumFiles(cd, mscp, &names, nullptr, 0));
  refused("enum names", CardEnumFiles(cd, mscp, nullptr, &size, 0));
  // The record is checked before the names, the names before its version.
  refused("info record", CardGetFileInfo(cd, badName, cardid, nullptr));
  info.dwVersion = 2;
  EXPECT_EQ(CardGetFileInfo(cd, badName, cardid, &info), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(data, reinterpret_cast<PBYTE>(0x1));
  EXPECT_EQ(names, reinterpret_cast<LPSTR>(0x1));
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(info.cbFileSize, 0xAAAAu);
}

TEST_F(DirectoryTest, FileInfoOfTheFixedFiles) {
  Acquire();
  struct Case {
    const char* directory;
    const char* file;
    DWORD version;
    DWORD expected;
    DWORD size;  // 0xAAAA: record untouched
    CARD_FILE_ACCESS_CONDITION access;
  };
  const Case cases[] = {
      {nullptr, "cardcf", 1, 0, 6, EveryoneReadUserWriteAc},
      {nullptr, "cardid", 1, 0, 16, EveryoneReadAdminWriteAc},
      {nullptr, "CARDAPPS", 0, 0, 8, EveryoneReadUserWriteAc},
      {"mscp", "cmapfile", 1, 0, 1376, EveryoneReadUserWriteAc},
      {"MSCP", "CMAPFILE", 0, 0, 1376, EveryoneReadUserWriteAc},
      {"mscp", nullptr, 1, SCARD_E_FILE_NOT_FOUND, 0, EveryoneReadUserWriteAc},
      {"mscp", "ksc00", 1, SCARD_E_FILE_NOT_FOUND, 0xAAAA, UnknownAc},  // readable, but not described
      {nullptr, "other", 1, SCARD_E_FILE_NOT_FOUND, 0xAAAA, UnknownAc},
      {"apps", "cardid", 1, SCARD_E_DIR_NOT_FOUND, 0xAAAA, UnknownAc},
      {nullptr, "cardid", 2, ERROR_REVISION_MISMATCH, 0xAAAA, UnknownAc},
  };
  for (const Case& c : cases) {
    card_.ExpectSelectApplication();
    CARD_FILE_INFO info{c.version, 0xAAAA, UnknownAc};
    EXPECT_EQ(GetFileInfo(c.directory, c.file, &info), c.expected) << c.file;
    EXPECT_EQ(info.dwVersion, c.version) << c.file;
    EXPECT_EQ(info.cbFileSize, c.size) << c.file;
    EXPECT_EQ(info.AccessCondition, c.access) << c.file;
  }
}

TEST_F(DirectoryTest, HostAllocatorFailureIsNoMemory) {
  Acquire();
  card_.ExpectSelectApplication();
  HostBlock names;
  names.size = 77;
  HostHeap::FailAllocations(0, 1);
  EXPECT_EQ(EnumFiles(nullptr, &names), SCARD_E_NO_MEMORY);
  EXPECT_EQ(names.data, nullptr);
  EXPECT_EQ(names.size, 77u) << "the length stays as it was";

  card_.ExpectSelectApplication();
  HostBlock file;
  HostHeap::FailAllocations(0, 1);
  EXPECT_EQ(ReadFile(nullptr, "cardid", &file), SCARD_E_NO_MEMORY);
  EXPECT_EQ(file.data, nullptr);
  EXPECT_EQ(file.size, 0u);
}

}  // namespace
}  // namespace vela::test
