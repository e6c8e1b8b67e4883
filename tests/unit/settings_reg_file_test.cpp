#include <gtest/gtest.h>

#include <string>

#include "fake_card.h"
#include "platform/reg_file.h"

namespace vela::test {
namespace {

using platform::RegFile;

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvantis\\CardMiniDriverRO";

std::optional<RegFile> ParseText(const std::string& text) {
  return RegFile::Parse({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

std::string ValueHex(const RegFile& file, const char* key, const char* name) {
  const std::vector<std::uint8_t>* value = file.Value(key, name);
  return value == nullptr ? "missing" : ToHex(*value);
}

std::string Bytes(const std::string& text) {
  return ToHex({reinterpret_cast<const std::uint8_t*>(text.data()), text.size() + 1});
}

const std::string kExport =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; exported from a workstation\r\n"
    "\"Orphan\"=\"before any key\"\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
    "\"CacheMode\"=\"9\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvantis\\CardMiniDriverRO]\r\n"
    "\"LogPath\"=\"C:\\\\Logs\\\\Vela\\\\\"\r\n"
    "\"Quoted\"=\"say \\\"hi\\\"\"\r\n"
    "\"usePinPad\"=\"TRUE\"\r\n"
    "; \"CacheMode\"=\"7\"\r\n"
    "\"LogLevel\"=dword:00000003\r\n"
    "\"Blob\"=hex:01,02,ff\r\n"
    "\"Wrapped\"=hex:0a,0b,\\\r\n"
    "  0c,0d\r\n"
    "\"Expand\"=hex(2):25,00,54,00,00,00\r\n"
    "\"Broken\"=dword:xyz\r\n"
    "\"Unclosed\"=\"abc\r\n"
    "@=\"default\"\r\n"
    "\"UserPCP\"=\"1\"\r\n"
    "\"UserPCP\"=-\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvantis\\CardMiniDriverRO\\Sub]\r\n"
    "\"CacheMode\"=\"2\"\r\n";

TEST(RegFileTest, ReadsAnExportLikeTheRegistryEditor) {
  const std::optional<RegFile> file = ParseText(kExport);
  ASSERT_TRUE(file.has_value());
  struct Case {
    const char* name;
    std::string expected;
  };
  const Case cases[] = {
      {"LogPath", Bytes("C:\\Logs\\Vela\\")},
      {"Quoted", Bytes("say \"hi\"")},
      {"usepinpad", Bytes("TRUE")},       // names without regard to case
      {"CacheMode", "missing"},           // commented out; other sections do not leak
      {"LogLevel", "03 00 00 00"},        // a DWORD comes back as its raw bytes
      {"Blob", "01 02 FF"},
      {"Wrapped", "0A 0B 0C 0D"},         // continued on the next line
      {"Expand", "25 54 00"},             // UTF-16 string types narrowed
      {"Broken", "missing"},
      {"Unclosed", "missing"},
      {"", Bytes("default")},
      {"UserPCP", "missing"},             // deleted by a later line
      {"Orphan", "missing"},
  };
  for (const Case& c : cases) EXPECT_EQ(ValueHex(*file, kKey, c.name), c.expected) << c.name;
  EXPECT_EQ(ValueHex(*file, "hkey_local_machine\\software\\other", "CacheMode"), Bytes("9"));
  EXPECT_EQ(ValueHex(*file, (std::string(kKey) + "\\Sub").c_str(), "CacheMode"), Bytes("2"));
}

TEST(RegFileTest, KeysExistAlsoThroughTheirSubkeys) {
  const std::optional<RegFile> file = ParseText(kExport);
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(file->HasKey(kKey));
  EXPECT_TRUE(file->HasKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvantis"));
  EXPECT_TRUE(file->HasKey("HKEY_LOCAL_MACHINE\\software"));
  EXPECT_FALSE(file->HasKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Norv"));
  EXPECT_FALSE(file->HasKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvantis\\CardMiniDriverRO\\Sub\\Deeper"));
}

TEST(RegFileTest, UnicodeExportWithByteOrderMark) {
  std::string utf16 = "\xFF\xFE";
  for (char c : kExport) {
    utf16 += c;
    utf16 += '\0';
  }
  const std::optional<RegFile> file = ParseText(utf16);
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(ValueHex(*file, kKey, "LogPath"), Bytes("C:\\Logs\\Vela\\"));
  EXPECT_EQ(ValueHex(*file, kKey, "LogLevel"), "03 00 00 00");
}

TEST(RegFileTest, DeletedKeysAndTheOldFormat) {
  const std::optional<RegFile> file = ParseText(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"x\"=\"1\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\n\"y\"=\"2\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\AB]\n\"z\"=\"3\"\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"after\"=\"ignored\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\C]\n\"s\"=hex(1):41,42,00\n");
  ASSERT_TRUE(file.has_value());
  EXPECT_FALSE(file->HasKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\A"));
  EXPECT_FALSE(file->HasKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B"));
  EXPECT_EQ(ValueHex(*file, "HKEY_LOCAL_MACHINE\\SOFTWARE\\AB", "z"), Bytes("3"));
  // A version 4 export keeps string types in narrow characters.
  EXPECT_EQ(ValueHex(*file, "HKEY_LOCAL_MACHINE\\SOFTWARE\\C", "s"), "41 42 00");
}

TEST(RegFileTest, TextWithoutTheHeaderIsNoExport) {
  EXPECT_FALSE(ParseText("").has_value());
  EXPECT_FALSE(ParseText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"x\"=\"1\"\n").has_value());
  EXPECT_FALSE(ParseText("Windows Registry Editor Version 4.00\n").has_value());
  EXPECT_TRUE(ParseText("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n").has_value());
}

}  // namespace
}  // namespace vela::test
