#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

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

// A deletion takes the key and the keys below it, found as one range of the
// sorted keys: names that sort around "KEY\" stay.
TEST(RegFileTest, DeletionTakesExactlyTheKeyAndItsSubkeys) {
  const char* kept[] = {"A!", "A]", "A^", "AB", "B"};
  const char* deleted[] = {"A", "A\\B", "A\\B\\C", "A\\\xC3\xA9", "a\\lower"};
  std::string text = "REGEDIT4\n";
  for (const char* key : kept) text += std::string("[HKEY_LOCAL_MACHINE\\") + key + "]\n\"v\"=\"1\"\n";
  for (const char* key : deleted) text += std::string("[HKEY_LOCAL_MACHINE\\") + key + "]\n\"v\"=\"1\"\n";
  text += "[-HKEY_LOCAL_MACHINE\\A]\n";
  const std::optional<RegFile> file = ParseText(text);
  ASSERT_TRUE(file.has_value());
  for (const char* key : kept) EXPECT_TRUE(file->HasKey(std::string("HKEY_LOCAL_MACHINE\\") + key)) << key;
  for (const char* key : deleted) EXPECT_FALSE(file->HasKey(std::string("HKEY_LOCAL_MACHINE\\") + key)) << key;
}

// Runs `work` on a thread of its own and waits up to `seconds` for it: what
// never returns fails the test instead of holding the whole tier. (A hang
// detector with a wide margin, not a speed figure.)
bool FinishesWithin(int seconds, std::function<void()> work) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([done, work = std::move(work)] {
    work();
    done->store(true);
  }).detach();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done->load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done->load();
}

// Deleting keys once cost a pass over every key, so a file of many keys and
// many deletions took minutes (a 0.93 MB one held an acquire for 62 s). Here
// 100000 of each: a second or two by key range, an hour the old way.
TEST(RegFileTest, ManyDeletionsStayCheap) {
  std::string text = "Windows Registry Editor Version 5.00\r\n";
  constexpr int kKeys = 100000;
  for (int i = 0; i < kKeys; ++i) text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K" + std::to_string(i) + "]\r\n";
  for (int i = 0; i < kKeys; ++i) text += "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\K" + std::to_string(i) + "\\X]\r\n";
  text += "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\K7]\r\n";
  auto parsed = std::make_shared<std::optional<RegFile>>();
  ASSERT_TRUE(FinishesWithin(120, [parsed, text] { *parsed = ParseText(text); }));
  ASSERT_TRUE(parsed->has_value());
  EXPECT_TRUE((*parsed)->HasKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\K6"));
  EXPECT_FALSE((*parsed)->HasKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\K7"));
}

// The file at the registry's path as the module (and vela3ro-tool) reads
// it: never blocking, regular files only, at most kMaxRegFileSize bytes, and
// its descriptor closed whatever the outcome.
class RegFileReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vela3ro-reg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

// The descriptors this process holds open.
std::size_t OpenDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

std::string ExportOfSize(std::size_t size) {
  std::string text = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"CacheMode\"=\"1\"\r\n;";
  text.resize(size, 'x');
  return text;
}

TEST_F(RegFileReadTest, OnlyRegularFilesUpToTheLimitAreRead) {
  using platform::RegFileStatus;
  const std::string path = dir_ + "/registry.reg";
  struct Case {
    const char* name;
    std::function<void()> make;
    RegFileStatus status;
  };
  const Case cases[] = {
      {"nothing there", [] {}, RegFileStatus::kAbsent},
      {"an export", [&] { std::ofstream(path) << ExportOfSize(100); }, RegFileStatus::kRead},
      {"an export of the largest size", [&] { std::ofstream(path) << ExportOfSize(platform::kMaxRegFileSize); },
       RegFileStatus::kRead},
      {"one byte over the limit", [&] { std::ofstream(path) << ExportOfSize(platform::kMaxRegFileSize + 1); },
       RegFileStatus::kTooLarge},
      {"a link to an export", [&] {
         std::ofstream(dir_ + "/real.reg") << ExportOfSize(100);
         std::filesystem::create_symlink(dir_ + "/real.reg", path);
       }, RegFileStatus::kRead},
      {"no export", [&] { std::ofstream(path) << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n"; },
       RegFileStatus::kNotAnExport},
      {"a directory", [&] { std::filesystem::create_directory(path); }, RegFileStatus::kNotRegular},
      {"a FIFO nobody writes", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, RegFileStatus::kNotRegular},
      {"an endless device", [&] { std::filesystem::create_symlink("/dev/zero", path); }, RegFileStatus::kNotRegular},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(path);
    std::filesystem::remove_all(dir_ + "/real.reg");
    c.make();
    const std::size_t descriptors = OpenDescriptors();
    auto loaded = std::make_shared<platform::LoadedRegFile>();
    const bool finished = FinishesWithin(30, [loaded, path] { *loaded = platform::ReadRegFile(path.c_str()); });
    if (!finished) {
      // A reader stuck in open() on the FIFO goes on once a writer comes.
      const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) close(writer);
      ADD_FAILURE() << "reading blocks";
      continue;
    }
    EXPECT_EQ(loaded->status, c.status);
    EXPECT_EQ(loaded->file.has_value(), c.status == RegFileStatus::kRead);
    EXPECT_EQ(OpenDescriptors(), descriptors) << "a descriptor left open";
    if (loaded->file) {
      const std::vector<std::uint8_t>* value = loaded->file->Value("HKEY_LOCAL_MACHINE\\SOFTWARE\\A", "CacheMode");
      ASSERT_NE(value, nullptr);
      EXPECT_EQ(ToHex(*value), "31 00");
    }
  }
}

TEST(RegFileTest, TextWithoutTheHeaderIsNoExport) {
  EXPECT_FALSE(ParseText("").has_value());
  EXPECT_FALSE(ParseText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"x\"=\"1\"\n").has_value());
  EXPECT_FALSE(ParseText("Windows Registry Editor Version 4.00\n").has_value());
  EXPECT_TRUE(ParseText("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n").has_value());
}

}  // namespace
}  // namespace vela::test
