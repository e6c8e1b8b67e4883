#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/card_context.h"
#include "core/log.h"
#include "core/settings.h"
#include "fake_registry.h"
#include "fake_system.h"

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
  EXPECT_EQ(LogDirectory(), "/tmp/");
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
  EXPECT_EQ(LogDirectory(), "/tmp/");
  ClearRegistry();
  Read({Str("LogPath", "/var/" + std::string(74, 'a'))});
  EXPECT_EQ(LogDirectory(), "/var/" + std::string(74, 'a') + "/");
}

TEST_F(SettingsTest, LogPathGetsOneSeparatorAndIsCreated) {
  struct Case {
    const char* path;
    const char* directory;
  };
  const Case cases[] = {{"/var/log/vela", "/var/log/vela/"}, {"/var/log/vela/", "/var/log/vela/"}};
  for (const Case& c : cases) {
    ClearRegistry();
    createdDirectories.clear();
    Read({Str("LogPath", c.path)});
    EXPECT_EQ(LogDirectory(), c.directory);
    EXPECT_EQ(createdDirectories, std::vector<std::string>{c.directory});
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
  EXPECT_EQ(LogDirectory(), "/var/keep/");
  const std::string longest = "/" + std::string(254, 'b');
  SetLogDirectory(longest.c_str());
  EXPECT_EQ(LogDirectory(), longest + "/");
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
      (void)LogDirectory();
    }
  };
  std::thread first(writer, a, 1), second(writer, b, 2);
  first.join();
  second.join();
  EXPECT_TRUE(LogDirectory() == a || LogDirectory() == b);
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
    std::ifstream in(LogFileName(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string dir_;
};

TEST_F(LogFileTest, NameAndLineLayoutOnTheFixedClock) {
  EXPECT_EQ(LogFileName(), dir_ + "/vela3ro-20240305-004711.txt");
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

TEST_F(LogFileTest, MissingDirectoryLosesTheLineQuietly) {
  SetLogDirectory((dir_ + "/absent/deeper").c_str());
  SetLogLevel(kLogInfo);
  WriteLogLine(kLogInfo, "a.cpp", 1, false, "lost");
  EXPECT_FALSE(std::filesystem::exists(LogFileName()));
}

}  // namespace
}  // namespace vela::test
