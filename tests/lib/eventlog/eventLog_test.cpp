// The event-log writer end to end over a private host prefix: registration,
// the formatted message, the default names, and the silent paths where no
// record may appear. Each case runs in a forked child, since the registered
// flag lives for the whole process.
#include "eventlog/eventLog.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/registry.h"
#include "privatePrefix.h"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using testsupport::Take;

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

// A whole error record line, time masked.
std::string Line(uint32_t id, const std::string &strings, const std::string &message,
                 const std::string &source = "brenix-mount") {
  char hex[16];
  snprintf(hex, sizeof hex, "0x%08X", id);
  return std::string(R"({"time":"T","source":")") + source + R"(","type":"error","eventId":)" +
         std::to_string(id) + R"(,"eventIdHex":")" + hex + R"(","category":0,"strings":[)" +
         strings + R"(],"message":")" + message + R"("})";
}

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override { EventLog_SetMessageTable(kTable, sizeof kTable / sizeof kTable[0]); }

  std::string Query(const char *key, const char *name) {
    char *text = nullptr;
    uint32_t dword = 0;
    HostRegType type;
    if (HostRegistry_QueryValue(key, name, &type, &text, &dword) != 0) {
      return "(none)";
    }
    return std::to_string(type) + ":" + (text != nullptr ? Take(text) : std::to_string(dword));
  }

  testsupport::PrivatePrefix prefix_;
};

TEST_F(EventLogTest, ReportRegistersAndWritesTheRecord) {
  InChild([&] {
    const char *strings[] = {"brenix-mount E: /vms/disk.bxdk", "The drive is already in use.\n"};
    EventLog_Report(0xE0000001u, strings, 2, "brenix-mount", "/opt/bin/brenix-mount");
    EXPECT_EQ(Query(kKey, "EventMessageFile"), "2:/opt/bin/brenix-mount");
    EXPECT_EQ(Query(kKey, "TypesSupported"), "4:7");
    EXPECT_EQ(prefix_.EventLog(),
              Lines{Line(0xE0000001u,
                         R"("brenix-mount E: /vms/disk.bxdk","The drive is already in use.\n")",
                         R"(Command \"brenix-mount E: /vms/disk.bxdk\" failed: )"
                         R"(The drive is already in use.\n\r\n)")});
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
    // Only two strings: the third placeholder stays as written.
    const Lines once{Line(0xE0000003u, R"("cmd","ASSERT lib/x:1\n")",
                          R"(Command \"cmd\" failed with COM error: 0xASSERT lib/x:1\n (%3)\r\n)")};
    EXPECT_EQ(prefix_.EventLog(), once);

    // Registered already: a removed registration is not made again, and the
    // source then gets no record.
    ASSERT_EQ(HostRegistry_DeleteKey(kKey), 0);
    EventLog_Report(0xE0000003u, strings, 2, "brenix-mount", "/opt/bin/brenix-mount");
    EXPECT_EQ(HostRegistry_KeyExists(kKey), ENOENT);
    EXPECT_EQ(prefix_.EventLog(), once);
  });
}

TEST_F(EventLogTest, UnwritableKeyGetsNoRecordAndRetriesLater) {
  InChild([&] {
    fs::remove(prefix_.file("registry/HKLM"));
    testsupport::WriteFile(prefix_.file("registry/HKLM"), "");
    const char *strings[] = {"cmd", "text"};
    EventLog_Report(0xE0000004u, strings, 2, "brenix-mount", "/opt/bin/brenix-mount");
    EXPECT_EQ(prefix_.EventLog(), Lines{});

    fs::remove(prefix_.file("registry/HKLM"));
    fs::create_directories(prefix_.file("registry/HKLM"));
    EventLog_Report(0xE0000004u, strings, 2, "brenix-mount", "/opt/bin/brenix-mount");
    EXPECT_EQ(prefix_.EventLog(), Lines{Line(0xE0000004u, R"("cmd","text")",
                                             R"(Command \"cmd\" failed for API error: text\r\n)")});
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
    EXPECT_EQ(prefix_.EventLog(),
              Lines{Line(0xE0000001u, R"("a")", R"(Command \"a\" failed: %2\r\n)",
                         "test_lib_eventlog_eventLog_test")});
  });
}

TEST(EventLogFormatTest, PlaceholdersAreReplacedOnce) {
  static const EventLogMessage table[] = {{1, "%1|%2|%10|%11|%0|%%|%x|100%"}, {2, "end\r\n"}};
  EventLog_SetMessageTable(table, 2);
  const char *strings[] = {"%2", "b", "c", "d", "e", "f", "g", "h", "i", "j"};
  // A string holding a placeholder is not expanded again.
  EXPECT_EQ(Take(EventLog_FormatMessage(1, strings, 10)), "%2|b|j|%11|%0|%%|%x|100%\r\n");
  EXPECT_EQ(Take(EventLog_FormatMessage(2, nullptr, 0)), "end\r\n");
  EXPECT_EQ(Take(EventLog_FormatMessage(3, nullptr, 0)), "");
  EventLog_SetMessageTable(nullptr, 0);
}

}  // namespace
