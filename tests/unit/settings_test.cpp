#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

#include "core/card_context.h"
#include "core/log.h"
#include "platform/log_file.h"
#include "core/settings.h"
#include "emulated_card.h"
#include "fake_registry.h"
#include "fake_system.h"
#include "test_host.h"

namespace vela::test {
namespace {

struct Value {
  const char* name;
  std::vector<std::uint8_t> bytes;
};

Value Str(const char* name, const std::string& text) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return {name, bytes};
}

class SettingsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(OpenRegistryHandles(), 0u) << "registry handles left open";
    SetLogLevel(kLogOff);
    SetLogDirectory("/tmp/");
  }
  CardContext Read(const std::vector<Value>& values) {
    for (const Value& v : values) SetRegistryBytes(kSettingsKey, v.name, v.bytes);
    CardContext context{};
    ReadSettings(&context);
    return context;
  }
  RegistryScope registry_;
};

TEST_F(SettingsTest, MissingKeyLeavesEveryDefault) {
  SetRegistryString("SOFTWARE\\Norvantis\\Other", "CacheMode", "1");
  SetLogLevel(7);
  const CardContext c = Read({});
  EXPECT_TRUE(c.settingsLoaded);
  EXPECT_FALSE(c.pinPadInUse);
  EXPECT_FALSE(c.logApdu);
  EXPECT_EQ(c.logLevel, 0);
  EXPECT_EQ(c.cacheMode, 3);
  EXPECT_EQ(c.userPinCachePolicy, 0u);
  EXPECT_EQ(LogLevel(), 0) << "every reading resets the process-wide level";
  EXPECT_EQ(LogDirectory().view(), "/tmp/");
}

TEST_F(SettingsTest, UnreachableRegistryLeavesDefaults) {
  SetRegistryString(kSettingsKey, "CacheMode", "1");
  FailRegistryConnect(true);
  EXPECT_EQ(Read({}).cacheMode, 3);
}

TEST_F(SettingsTest, EachValueAcceptsOnlyItsForm) {
  struct Case {
    std::vector<Value> values;
    bool pinPad, logApdu;
    int logLevel, cacheMode;
    DWORD userPcp;
  };
  const std::vector<std::uint8_t> dword3 = {3, 0, 0, 0};
  const Case cases[] = {
      {{Str("LogLevel", "3")}, false, false, 3, 3, 0},
      {{Str("LogLevel", "10")}, false, false, 0, 3, 0},
      {{Str("LogLevel", "x")}, false, false, 0, 3, 0},
      {{Str("LogLevel", "")}, false, false, 0, 3, 0},
      {{Str("LogLevel", " 3")}, false, false, 0, 3, 0},
      {{{"LogLevel", dword3}}, false, false, 0, 3, 0},
      {{Str("usePinPad", "true")}, true, false, 0, 3, 0},
      {{Str("usePinPad", "TrUe")}, true, false, 0, 3, 0},
      {{Str("usePinPad", "1")}, false, false, 0, 3, 0},
      {{Str("usePinPad", "yes")}, false, false, 0, 3, 0},
      {{Str("usePinPad", "TRUE ")}, false, false, 0, 3, 0},
      {{Str("LogAPDU", "True")}, false, true, 0, 3, 0},
      {{Str("LogAPDU", "on")}, false, false, 0, 3, 0},
      {{Str("CacheMode", "1"), Str("UserPCP", "2")}, false, false, 0, 1, 2},
      {{Str("CacheMode", "0"), Str("UserPCP", "3")}, false, false, 0, 0, 3},
      {{Str("CacheMode", "1"), Str("UserPCP", "4")}, false, false, 0, 1, 0},
      {{Str("CacheMode", "12"), Str("UserPCP", "1")}, false, false, 0, 3, 1},  // malformed but present
      {{Str("UserPCP", "2")}, false, false, 0, 3, 0},                          // without CacheMode
      {{{"CacheMode", dword3}}, false, false, 0, 3, 0},
  };
  for (const Case& c : cases) {
    ClearRegistry();
    const CardContext context = Read(c.values);
    const std::string name = c.values[0].name;
    EXPECT_EQ(context.pinPadInUse, c.pinPad) << name;
    EXPECT_EQ(context.logApdu, c.logApdu) << name;
    EXPECT_EQ(context.logLevel, c.logLevel) << name;
    EXPECT_EQ(LogLevel(), c.logLevel) << name;
    EXPECT_EQ(context.cacheMode, c.cacheMode) << name;
    EXPECT_EQ(context.userPinCachePolicy, c.userPcp) << name;
  }
}

TEST_F(SettingsTest, ValuesOverEightyBytesCountAsMissing) {
  // 80 bytes: "7" and 79 zeros; 81 bytes: one more zero.
  std::vector<std::uint8_t> fits(80, 0), tooLong(81, 0);
  fits[0] = tooLong[0] = '7';
  EXPECT_EQ(Read({{"CacheMode", fits}}).cacheMode, 7);
  ClearRegistry();
  EXPECT_EQ(Read({{"CacheMode", tooLong}}).cacheMode, 3);
  // A string value of 80 characters takes 81 bytes with its terminator.
  ClearRegistry();
  Read({Str("LogPath", "/var/" + std::string(75, 'a'))});
  EXPECT_EQ(LogDirectory().view(), "/tmp/");
  ClearRegistry();
  Read({Str("LogPath", "/var/" + std::string(74, 'a'))});
  EXPECT_EQ(LogDirectory().view(), "/var/" + std::string(74, 'a') + "/");
}

// The directory is made only when the log is on: with the default level 0 a
// configured path leaves the disk alone.
TEST_F(SettingsTest, LogPathGetsOneSeparatorAndIsCreatedOnlyWhenLogging) {
  struct Case {
    const char* path;
    const char* level;  // null: no LogLevel value
    const char* directory;
    bool created;
  };
  const Case cases[] = {
      {"/var/log/vela", "1", "/var/log/vela/", true},
      {"/var/log/vela/", "9", "/var/log/vela/", true},
      {"/var/log/vela", nullptr, "/var/log/vela/", false},
      {"/var/log/vela", "0", "/var/log/vela/", false},
      {"/var/log/vela", "x", "/var/log/vela/", false},
  };
  for (const Case& c : cases) {
    ClearRegistry();
    createdDirectories.clear();
    std::vector<Value> values = {Str("LogPath", c.path)};
    if (c.level != nullptr) values.push_back(Str("LogLevel", c.level));
    Read(values);
    EXPECT_EQ(LogDirectory().view(), c.directory) << c.path << " " << (c.level ? c.level : "-");
    EXPECT_EQ(createdDirectories, c.created ? std::vector<std::string>{c.directory} : std::vector<std::string>{})
        << c.path << " " << (c.level ? c.level : "-");
  }
}

TEST_F(SettingsTest, RecordIsReadOnlyOnce) {
  CardContext context = Read({Str("CacheMode", "5")});
  ClearRegistry();
  SetRegistryString(kSettingsKey, "CacheMode", "6");
  ReadSettings(&context);
  EXPECT_EQ(context.cacheMode, 5);
  ReadSettings(nullptr);
}

TEST(LogDirectoryTest, RefusedPathsChangeNothing) {
  SetLogDirectory("/var/keep");
  SetLogDirectory(nullptr);
  SetLogDirectory("");
  SetLogDirectory(("/" + std::string(255, 'a')).c_str());  // 256 characters
  // Relative paths would land in the host's working directory; ".." climbs.
  for (const char* refused : {"logs", "logs/vela", "./logs", "C:\\Logs", "/var/log/../../etc", "/var/log/..",
                              "/var/log\\..\\x", "/../tmp"}) {
    SetLogDirectory(refused);
    EXPECT_EQ(LogDirectory().view(), "/var/keep/") << refused;
  }
  SetLogDirectory("/var/log/..vela/x..");  // names that merely start or end with two dots
  EXPECT_EQ(LogDirectory().view(), "/var/log/..vela/x../");
  SetLogDirectory("/var/keep");
  EXPECT_EQ(LogDirectory().view(), "/var/keep/");
  const std::string longest = "/" + std::string(254, 'b');
  SetLogDirectory(longest.c_str());
  EXPECT_EQ(LogDirectory().view(), longest + "/");
  SetLogDirectory("/tmp/");
}

// Every acquire writes the process-wide log state; concurrent ones must not
// race (the tsan preset checks this), and one of them wins whole.
TEST(LogDirectoryTest, ConcurrentWritersLeaveOneWholeValue) {
  const std::string a = "/var/" + std::string(100, 'a') + "/";
  const std::string b = "/var/" + std::string(100, 'b') + "/";
  auto writer = [](const std::string& path, int logLevel) {
    for (int i = 0; i < 200; ++i) {
      SetLogDirectory(path.c_str());
      SetLogLevel(logLevel);
      (void)LogDirectory().view();
    }
  };
  std::thread first(writer, a, 1), second(writer, b, 2);
  first.join();
  second.join();
  EXPECT_TRUE(LogDirectory().view() == a || LogDirectory().view() == b);
  EXPECT_TRUE(LogLevel() == 1 || LogLevel() == 2);
  SetLogDirectory("/tmp/");
  SetLogLevel(kLogOff);
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vela3ro-log-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    SetLogDirectory(dir_.c_str());
  }
  void TearDown() override {
    SetLogLevel(kLogOff);
    SetLogDirectory("/tmp/");
    std::filesystem::remove_all(dir_);
  }
  std::string Contents() {
    std::ifstream in(LogFileName().c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string dir_;
};

TEST_F(LogFileTest, NameAndLineLayoutOnTheFixedClock) {
  EXPECT_EQ(LogFileName().view(), dir_ + "/vela3ro-20240305-004711.txt");
  SetLogLevel(kLogInfo);
  WriteLogLine(kLogInfo, "C:\\src\\frontend\\acquire.cpp", 42, false, "value %d of %s", 7, "x");
  WriteLogLine(kLogError, "frontend/settings.cpp", 12345, true, "second");
  WriteLogHex(kLogDebug, "hex.cpp", 1, "apdu %s", std::vector<std::uint8_t>{0x00, 0xA4, 0xff, 0x0c}.data(), 4);
  WriteLogLine(4, "hidden.cpp", 1, false, "above the level");
  WriteLogLine(kLogInfo, nullptr, 1, false, "no source");
  EXPECT_EQ(Contents(),
            "13:07:09 4711/42 [INF] acquire.cpp:0042 value 7 of x\r\n"
            "\r\n13:07:09 4711/42 [ERR] settings.cpp:12345 second\r\n"
            "13:07:09 4711/42 [DBG] hex.cpp:0001 apdu 00A4FF0C\r\n");
}

TEST_F(LogFileTest, LevelOffWritesOnlyLevelZeroAndLongSourceNamesAreCut) {
  WriteLogLine(kLogError, "a.cpp", 1, false, "dropped");
  const std::string longName = std::string(100, 'n');
  WriteLogLine(kLogOff, ("/src/" + longName).c_str(), 2, false, "kept");
  EXPECT_EQ(Contents(), "13:07:09 4711/42 [OFF] " + std::string(79, 'n') + ":0002 kept\r\n");
}

TEST_F(LogFileTest, NewFileIsTheProcessUsersAloneAndLinesAreAppended) {
  SetLogLevel(kLogInfo);
  WriteLogLine(kLogInfo, "a.cpp", 1, false, "first");
  struct stat info {};
  ASSERT_EQ(stat(LogFileName().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, geteuid());
  WriteLogLine(kLogInfo, "a.cpp", 2, false, "second");
  EXPECT_EQ(Contents(), "13:07:09 4711/42 [INF] a.cpp:0001 first\r\n13:07:09 4711/42 [INF] a.cpp:0002 second\r\n");
}

// What another local user may have put at the log's name before the first
// line (the name is predictable, the directory often world-writable): it is
// left exactly as found, nothing it points to is written or created, and a
// host's acquire and file read on the card succeed meanwhile, the log on.
TEST_F(LogFileTest, PlantedNamesAreLeftAloneAndTheModuleKeepsWorking) {
  RegistryScope registry;
  SetRegistryString(kSettingsKey, "LogPath", dir_);
  SetRegistryString(kSettingsKey, "LogLevel", "9");
  SetRegistryString(kSettingsKey, "LogAPDU", "TRUE");
  const std::string log(LogFileName().view());
  const std::string victim = dir_ + "/victim";
  const std::string absent = dir_ + "/made-through-a-link";
  const uid_t otherUser = 65534;
  struct Case {
    const char* name;
    std::function<void()> plant;
  };
  const Case cases[] = {
      {"symbolic link to a file", [&] { ASSERT_EQ(symlink(victim.c_str(), log.c_str()), 0); }},
      {"dangling symbolic link", [&] { ASSERT_EQ(symlink(absent.c_str(), log.c_str()), 0); }},
      {"hard link", [&] { ASSERT_EQ(link(victim.c_str(), log.c_str()), 0); }},
      {"FIFO without a reader", [&] { ASSERT_EQ(mkfifo(log.c_str(), 0666), 0); }},
      {"another user's file",
       [&] {
         std::ofstream(log, std::ios::binary) << "theirs\n";
         ASSERT_EQ(chown(log.c_str(), otherUser, otherUser), 0) << "needs root, as in CI";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(log);
    std::filesystem::remove(absent);
    std::ofstream(victim, std::ios::binary | std::ios::trunc) << "precious\n";
    c.plant();
    struct stat before {};
    ASSERT_EQ(lstat(log.c_str(), &before), 0);

    // Run where a hang shows: a FIFO once held every writer until a reader came.
    auto road = std::async(std::launch::async, [] {
      EmulatedCard card;
      TestHost host(card.handle());
      DWORD rc = host.Acquire();
      std::string file = "cardid";
      BYTE* data = nullptr;
      DWORD length = 0;
      if (rc == 0) rc = host->pfnCardReadFile(host.get(), nullptr, file.data(), 0, &data, &length);
      HostRelease(data);
      host.Release();
      return rc;
    });
    if (road.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << "the module blocks on the log's name";
      const int reader = open(log.c_str(), O_RDONLY | O_NONBLOCK);  // lets the writer go
      road.wait();
      if (reader >= 0) close(reader);
    }
    EXPECT_EQ(road.get(), 0u);

    struct stat after {};
    ASSERT_EQ(lstat(log.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_nlink, before.st_nlink);
    std::ifstream in(victim, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious\n");
    EXPECT_FALSE(std::filesystem::exists(absent));
  }
  std::filesystem::remove(log);
}

// A FIFO that does have a reader opens, but is no regular file: nothing may
// go into it either.
TEST_F(LogFileTest, FifoWithAReaderGetsNothing) {
  ASSERT_EQ(mkfifo(LogFileName().c_str(), 0666), 0);
  const int reader = open(LogFileName().c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  SetLogLevel(kLogInfo);
  WriteLogLine(kLogInfo, "a.cpp", 1, false, "into the pipe");
  char buffer[64];
  EXPECT_LE(read(reader, buffer, sizeof buffer), 0);
  close(reader);
}

// A folder on the log's path that is a link (planted where the parent lets
// users create, as a shared log root does) is not followed at any level:
// nothing is written or made behind it. A folder the module makes is its
// user's alone.
TEST_F(LogFileTest, LinkedFolderOnThePathIsNotFollowed) {
  const std::string real = dir_ + "/real", link = dir_ + "/link";
  ASSERT_TRUE(std::filesystem::create_directories(real + "/sub"));
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  SetLogLevel(kLogInfo);
  for (const std::string& configured : {link, link + "/sub", link + "/./sub/"}) {
    SCOPED_TRACE(configured);
    SetLogDirectory(configured.c_str());
    WriteLogLine(kLogInfo, "a.cpp", 1, false, "behind a link");
    EXPECT_FALSE(platform::MakeLogDirectory((configured + "/made").c_str()));
  }
  EXPECT_TRUE(std::filesystem::is_empty(real + "/sub"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(real), {}), 1);

  // A folder is given with its closing slash, as the settings and the
  // default give it, or without.
  ASSERT_TRUE(platform::MakeLogDirectory((dir_ + "/made-as-set/").c_str()));
  EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/made-as-set"));
  const std::string made = dir_ + "/made";
  ASSERT_TRUE(platform::MakeLogDirectory(made.c_str()));
  struct stat info {};
  ASSERT_EQ(stat(made.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  SetLogDirectory(made.c_str());
  WriteLogLine(kLogInfo, "a.cpp", 2, false, "in the folder made");
  EXPECT_EQ(Contents(), "13:07:09 4711/42 [INF] a.cpp:0002 in the folder made\r\n");
}

// A folder another user made (the per-user default made first by someone
// else) is not written; root's and the user's own are. Needs root to give a
// folder another owner.
TEST_F(LogFileTest, FolderOfAnotherUserIsNotWritten) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a folder another owner needs root";
  const std::string other = dir_ + "/other";
  ASSERT_TRUE(std::filesystem::create_directories(other));
  ASSERT_EQ(chmod(other.c_str(), 0777), 0);
  ASSERT_EQ(chown(other.c_str(), 65534, 65534), 0);
  SetLogLevel(kLogInfo);
  SetLogDirectory(other.c_str());
  WriteLogLine(kLogInfo, "a.cpp", 1, false, "in another user's folder");
  EXPECT_TRUE(std::filesystem::is_empty(other));
  ASSERT_EQ(chown(other.c_str(), 0, 0), 0);
  WriteLogLine(kLogInfo, "a.cpp", 2, false, "in root's folder");
  EXPECT_FALSE(std::filesystem::is_empty(other));
}

TEST_F(LogFileTest, MissingDirectoryLosesTheLineQuietly) {
  SetLogDirectory((dir_ + "/absent/deeper").c_str());
  SetLogLevel(kLogInfo);
  WriteLogLine(kLogInfo, "a.cpp", 1, false, "lost");
  EXPECT_FALSE(std::filesystem::exists(LogFileName().c_str()));
}

}  // namespace
}  // namespace vela::test
