// The event-log writer end to end over a private host prefix: registration,
// the formatted message, the default names, and the silent paths where no
// record may appear. Each case runs in a forked child, since the registered
// flag lives for the whole process.
#include "eventlog/eventLog.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../host/jsonLine.h"
#include "host/registry.h"
#include "testSupport.h"

namespace fs = std::filesystem;
using jsonline::Value;
using testsupport::ReadFile;

namespace {

const EventLogMessage kTable[] = {
    {0xE0000001u, "Command \"%1\" failed: %2\r\n"},
    {0xE0000003u, "Command \"%1\" failed with COM error: 0x%2 (%3)\r\n"},
    {0xE0000004u, "Command \"%1\" failed for API error: %2"},  // line end added
};

const char kKey[] = EVENTLOG_SOURCE_KEY "brenix-mount";

// Runs body in a forked child; the test fails when the child reports failure.
void InChild(const std::function<void()> &body) {
  EXPECT_EXIT(
      {
        body();
        exit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("BRENIX_HOST_PREFIX", dir_.path().c_str(), 1);
    fs::create_directories(dir_.file("registry/HKLM"));
    fs::create_directories(dir_.file("eventlog"));
    EventLog_SetMessageTable(kTable, sizeof kTable / sizeof kTable[0]);
  }
  void TearDown() override { unsetenv("BRENIX_HOST_PREFIX"); }

  std::vector<Value> Records() {
    std::vector<Value> records;
    for (const auto &line : jsonline::Lines(ReadFile(dir_.file("eventlog/Application.jsonl")))) {
      Value v;
      EXPECT_TRUE(jsonline::Parse(line, &v)) << line;
      records.push_back(v);
    }
    return records;
  }

  std::string Query(const char *key, const char *name) {
    char *text = nullptr;
    uint32_t dword = 0;
    HostRegType type;
    if (HostRegistry_QueryValue(key, name, &type, &text, &dword) != 0) {
      return "(none)";
    }
    std::string s = text != nullptr ? text : std::to_string(dword);
    free(text);
    return std::to_string(type) + ":" + s;
  }

  testsupport::TempDir dir_;
};

TEST_F(EventLogTest, ReportRegistersAndWritesTheRecord) {
  InChild([&] {
    const char *strings[] = {"brenix-mount E: /vms/disk.bxdk", "The drive is already in use.\n"};
    EventLog_Report(0xE0000001u, strings, 2, "brenix-mount", "/opt/bin/brenix-mount");
    EXPECT_EQ(Query(kKey, "EventMessageFile"), "2:/opt/bin/brenix-mount");
    EXPECT_EQ(Query(kKey, "TypesSupported"), "4:7");
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    Value &r = records[0];
    EXPECT_EQ(r.fields["source"].text, "brenix-mount");
    EXPECT_EQ(r.fields["type"].text, "error");
    EXPECT_EQ(r.fields["eventIdHex"].text, "0xE0000001");
    EXPECT_EQ(r.fields["category"].number, 0u);
    EXPECT_EQ(r.fields["strings"].items.size(), 2u);
    EXPECT_EQ(r.fields["message"].text,
              "Command \"brenix-mount E: /vms/disk.bxdk\" failed: The drive is already in use.\n"
              "\r\n");
  });
}

TEST_F(EventLogTest, ValuesWrittenAgainOnlyAtFirstReport) {
  InChild([&] {
    ASSERT_EQ(HostRegistry_CreateKey(kKey), 0);
    ASSERT_EQ(HostRegistry_SetString(kKey, "EventMessageFile", HOSTREG_SZ, "stale"), 0);
    ASSERT_EQ(HostRegistry_SetDword(kKey, "TypesSupported", 1), 0);
    const char *strings[] = {"cmd", "ASSERT lib/x:1\n"};
    EventLog_Report(0xE0000003u, strings, 2, "brenix-mount", "/opt/bin/brenix-mount");
    EXPECT_EQ(Query(kKey, "EventMessageFile"), "2:/opt/bin/brenix-mount");
    EXPECT_EQ(Query(kKey, "TypesSupported"), "4:7");
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    // Only two strings: the third placeholder stays as written.
    EXPECT_EQ(records[0].fields["message"].text,
              "Command \"cmd\" failed with COM error: 0xASSERT lib/x:1\n (%3)\r\n");

    // Registered already: a removed registration is not made again, and the
    // source then gets no record.
    ASSERT_EQ(HostRegistry_DeleteKey(kKey), 0);
    EventLog_Report(0xE0000003u, strings, 2, "brenix-mount", "/opt/bin/brenix-mount");
    EXPECT_EQ(HostRegistry_KeyExists(kKey), ENOENT);
    EXPECT_EQ(Records().size(), 1u);
  });
}

TEST_F(EventLogTest, UnwritableKeyGetsNoRecordAndRetriesLater) {
  InChild([&] {
    fs::remove(dir_.file("registry/HKLM"));
    testsupport::WriteFile(dir_.file("registry/HKLM"), "");
    const char *strings[] = {"cmd", "text"};
    EventLog_Report(0xE0000004u, strings, 2, "brenix-mount", "/opt/bin/brenix-mount");
    EXPECT_EQ(ReadFile(dir_.file("eventlog/Application.jsonl")), "");

    fs::remove(dir_.file("registry/HKLM"));
    fs::create_directories(dir_.file("registry/HKLM"));
    EventLog_Report(0xE0000004u, strings, 2, "brenix-mount", "/opt/bin/brenix-mount");
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].fields["message"].text, "Command \"cmd\" failed for API error: text\r\n");
  });
}

TEST_F(EventLogTest, DefaultNamesComeFromTheExecutable) {
  InChild([&] {
    std::string self = fs::read_symlink("/proc/self/exe");
    const char *source = nullptr;
    const char *file = "given";
    ASSERT_TRUE(EventLog_DefaultNames(&source, &file));
    EXPECT_STREQ(source, "test_lib_eventlog_eventLog_test");
    EXPECT_STREQ(file, "given");

    const char *strings[] = {"a"};
    EventLog_Report(0xE0000001u, strings, 1);
    std::string key = std::string(EVENTLOG_SOURCE_KEY) + "test_lib_eventlog_eventLog_test";
    EXPECT_EQ(Query(key.c_str(), "EventMessageFile"), "2:" + self);
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].fields["source"].text, "test_lib_eventlog_eventLog_test");
    EXPECT_EQ(records[0].fields["message"].text, "Command \"a\" failed: %2\r\n");
  });
}

TEST(EventLogFormatTest, PlaceholdersAreReplacedOnce) {
  static const EventLogMessage table[] = {{1, "%1|%2|%10|%11|%0|%%|%x|100%"}, {2, "end\r\n"}};
  EventLog_SetMessageTable(table, 2);
  const char *strings[] = {"%2", "b", "c", "d", "e", "f", "g", "h", "i", "j"};
  char *m = EventLog_FormatMessage(1, strings, 10);
  // A string holding a placeholder is not expanded again.
  EXPECT_STREQ(m, "%2|b|j|%11|%0|%%|%x|100%\r\n");
  free(m);
  m = EventLog_FormatMessage(2, nullptr, 0);
  EXPECT_STREQ(m, "end\r\n");
  free(m);
  m = EventLog_FormatMessage(3, nullptr, 0);
  EXPECT_STREQ(m, "");
  free(m);
  EventLog_SetMessageTable(nullptr, 0);
}

}  // namespace
