#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/reg_file.h"

#include "host/result_names.h"
#include "tool/command.h"
#include "tool/report.h"
#include "tool/settings_file.h"

namespace vela::host {
namespace {

// Reader names and card texts are outside data: whatever they hold, the JSON
// must stay well-formed.
TEST(ToolReport, JsonEscapesOutsideTextAndKeepsOrder) {
  Value report = Value::Object();
  report.Set("reader", "Acme \"Pad\" \\ 1\n\x01");
  report.Set("readers", Value::List()).Append(Value::Object()).Set("outcome", "acquired");
  report.Set("count", 3u);
  report.Set("serialNumber", Value());
  report.Set("empty", Value::List());
  report.Set("reader", "replaced in place");
  EXPECT_EQ(RenderJson(report),
            "{\n"
            "  \"reader\": \"replaced in place\",\n"
            "  \"readers\": [\n"
            "    {\n"
            "      \"outcome\": \"acquired\"\n"
            "    }\n"
            "  ],\n"
            "  \"count\": 3,\n"
            "  \"serialNumber\": null,\n"
            "  \"empty\": []\n"
            "}\n");
  Value odd = Value::Object();
  odd.Set("name", "a\"b\\c\nd\te\x1f");
  EXPECT_EQ(RenderJson(odd), "{\n  \"name\": \"a\\\"b\\\\c\\nd\\te\\u001f\"\n}\n");
}

TEST(ToolReport, TextShowsKeysAsWordsAndNestsListsOfRecords) {
  Value report = Value::Object();
  report.Set("serialNumber", "0A1B");
  Value& readers = report.Set("readers", Value::List());
  Value& first = readers.Append(Value::Object());
  first.Set("name", "Virtual PCD 00 00");
  first.Set("outcome", "acquired");
  readers.Append(Value::Object());
  report.Set("moduleAnswers", Value::Object()).Set("CardReadFile cardid", "SCARD_S_SUCCESS (0x00000000)");
  report.Set("containers", Value::List());
  report.Set("note", "two\nlines");
  report.Set("present", true);
  report.Set("missing", Value());
  EXPECT_EQ(RenderText(report),
            "serial number: 0A1B\n"
            "readers:\n"
            "  - name: Virtual PCD 00 00\n"
            "    outcome: acquired\n"
            "  - none\n"
            "module answers:\n"
            "  CardReadFile cardid: SCARD_S_SUCCESS (0x00000000)\n"
            "containers: none\n"
            "note: two\n"
            "  lines\n"
            "present: yes\n"
            "missing: unavailable\n");
}

TEST(ToolReport, ResultNames) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0, "SCARD_S_SUCCESS (0x00000000)"},
      {0x8010000D, "SCARD_E_UNKNOWN_CARD (0x8010000D)"},
      {0x8010002E, "SCARD_E_NO_READERS_AVAILABLE (0x8010002E)"},
      {1306, "ERROR_REVISION_MISMATCH (0x0000051A)"},
      {0x63C2, "SW 63C2 (0x000063C2)"},  // a status word passed on by a PIN entry
      {0x80109999, "0x80109999"},
      {87, "0x00000057"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(ResultText(code), text) << code;
}

// scinfo's settings come through the module's own reader: a file the module
// leaves alone (over its size limit, not a regular file) shows as ignored,
// never with values the module does not use.
TEST(ToolSettings, ShowOnlyWhatTheModuleReads) {
  char pattern[] = "/tmp/vela3ro-tool-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string path = dir + "/registry.reg";
  const std::string exported =
      "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvantis\\CardMiniDriverRO]\r\n\"CacheMode\"=\"1\"\r\n";
  struct Case {
    const char* name;
    std::function<void()> make;
    const char* found;
    bool configured;
  };
  const Case cases[] = {
      {"an export", [&] { std::ofstream(path) << exported; }, "present", true},
      {"an export over the limit",
       [&] { std::ofstream(path) << exported + ";" + std::string(platform::kMaxRegFileSize, 'x') + "\r\n"; },
       "registry file over 1 MiB, ignored: defaults apply", false},
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },
       "registry file is not a regular file, ignored: defaults apply", false},
      {"nothing", [] {}, "no registry file: defaults apply", false},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(path);
    c.make();
    const Value settings = RegistryFileSettings(path.c_str());
    ASSERT_NE(settings.Find("registryKey"), nullptr) << c.name;
    EXPECT_EQ(settings.Find("registryKey")->text(), c.found) << c.name;
    const Value* configured = settings.Find("configured");
    ASSERT_EQ(configured != nullptr, c.configured) << c.name;
    if (configured != nullptr) {
      EXPECT_EQ(configured->Find("CacheMode")->text(), "1");
    }
  }
  std::filesystem::remove_all(dir);
}

TEST(ToolArgs, OptionsInBothFormsFlagsAndLeftovers) {
  tool::Args args({"--reader", "R 1", "file", "--json", "--container=3", "--reader=R 2", "--bogus"});
  EXPECT_TRUE(args.Flag("json"));
  EXPECT_FALSE(args.Flag("json"));
  EXPECT_EQ(args.Option("reader"), "R 2");  // the last one wins
  EXPECT_EQ(args.Option("container"), "3");
  EXPECT_EQ(args.Option("module"), std::nullopt);
  EXPECT_EQ(args.Positional(), (std::vector<std::string>{"file", "--bogus"}));
  EXPECT_EQ(args.error(), "unknown option --bogus");

  tool::Args dangling({"scinfo", "--reader"});
  EXPECT_EQ(dangling.Option("reader"), std::nullopt);
  EXPECT_EQ(dangling.error(), "--reader needs a value");
  EXPECT_EQ(dangling.Positional(), std::vector<std::string>{"scinfo"});
}

}  // namespace
}  // namespace vela::host
