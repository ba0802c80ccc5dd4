// Event-log records as written to the file: every field parsed back, text
// escaping and the marking of bytes that are not UTF-8, whole lines from
// concurrent writers, and a lock held forever.
#include "host/eventlogFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "jsonLine.h"
#include "testSupport.h"

namespace fs = std::filesystem;
using jsonline::Value;
using testsupport::TempDir;

namespace {

class EventLogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("BRENIX_HOST_PREFIX", dir_.path().c_str(), 1);
    fs::create_directories(dir_.file("eventlog"));
  }
  void TearDown() override { unsetenv("BRENIX_HOST_PREFIX"); }

  std::vector<std::string> Lines() {
    return jsonline::Lines(testsupport::ReadFile(dir_.file("eventlog/Application.jsonl")));
  }

  TempDir dir_;
};

TEST_F(EventLogFileTest, RecordHasEveryFieldInOrder) {
  const char *strings[] = {"brenix-mount E: /vms/disk.bxdk", "The drive is already in use.\n"};
  HostEventRecord r = {
      "brenix-mount", HOSTEVENT_ERROR, 0xE0000001u, 0, strings, 2, "Command \"x\" failed\r\n"};
  ASSERT_EQ(HostEventLog_Append(&r), 0);
  r.type = HOSTEVENT_WARNING;
  r.eventId = 0x2A;
  r.category = 3;
  r.count = 0;
  ASSERT_EQ(HostEventLog_Append(&r), 0);

  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  Value v;
  ASSERT_TRUE(jsonline::Parse(lines[0], &v)) << lines[0];
  EXPECT_EQ(v.order, (std::vector<std::string>{"time", "source", "type", "eventId", "eventIdHex",
                                               "category", "strings", "message"}));
  EXPECT_TRUE(std::regex_match(
      v.fields["time"].text,
      std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]Z")))
      << v.fields["time"].text;
  EXPECT_EQ(v.fields["source"].text, "brenix-mount");
  EXPECT_EQ(v.fields["type"].text, "error");
  EXPECT_EQ(v.fields["eventId"].number, 3758096385u);
  EXPECT_EQ(v.fields["eventIdHex"].text, "0xE0000001");
  EXPECT_EQ(v.fields["category"].number, 0u);
  ASSERT_EQ(v.fields["strings"].items.size(), 2u);
  EXPECT_EQ(v.fields["strings"].items[1].text, "The drive is already in use.\n");
  EXPECT_EQ(v.fields["message"].text, "Command \"x\" failed\r\n");

  Value w;
  ASSERT_TRUE(jsonline::Parse(lines[1], &w)) << lines[1];
  EXPECT_EQ(w.fields["type"].text, "warning");
  EXPECT_EQ(w.fields["eventIdHex"].text, "0x0000002A");
  EXPECT_EQ(w.fields["category"].number, 3u);
  EXPECT_EQ(w.fields["strings"].kind, Value::kArray);
  EXPECT_TRUE(w.fields["strings"].items.empty());
}

TEST_F(EventLogFileTest, TextIsEscapedAndMadeUtf8) {
  const char *strings[] = {"tab\tbell\x07quote\"back\\slash", "bad \xff\xc3 end \xc3\xa9 \xe2\x82",
                           nullptr};
  HostEventRecord r = {"src", HOSTEVENT_INFORMATION, 1, 0, strings, 3, nullptr};
  ASSERT_EQ(HostEventLog_Append(&r), 0);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\\u0007"), std::string::npos);
  Value v;
  ASSERT_TRUE(jsonline::Parse(lines[0], &v)) << lines[0];
  auto &items = v.fields["strings"].items;
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].text, "tab\tbell\x07quote\"back\\slash");
  EXPECT_EQ(items[1].text, "bad \xEF\xBF\xBD\xEF\xBF\xBD end \xc3\xa9 \xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(items[2].text, "");
  EXPECT_EQ(v.fields["message"].text, "");
}

TEST_F(EventLogFileTest, ConcurrentWritersKeepLinesWhole) {
  fs::remove(dir_.file("eventlog"));  // made again on demand
  std::string big(5000, 'x');
  const char *strings[] = {big.c_str()};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&strings] {
      HostEventRecord r = {"src", HOSTEVENT_ERROR, 7, 0, strings, 1, "m"};
      for (int i = 0; i < 50; i++) {
        EXPECT_EQ(HostEventLog_Append(&r), 0);
      }
    });
  }
  for (auto &t : threads) {
    t.join();
  }
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 200u);
  for (const auto &line : lines) {
    Value v;
    ASSERT_TRUE(jsonline::Parse(line, &v));
    EXPECT_EQ(v.fields["strings"].items.at(0).text.size(), 5000u);
  }
}

// A writer that never lets go of the log costs a record, not a hang.
TEST_F(EventLogFileTest, LockHeldForeverLosesTheRecordOnly) {
  int fd = open(dir_.file("eventlog/Application.jsonl").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  HostEventRecord r = {"src", HOSTEVENT_ERROR, 7, 0, nullptr, 0, "m"};
  EXPECT_EQ(HostEventLog_Append(&r), EWOULDBLOCK);
  close(fd);
  EXPECT_EQ(HostEventLog_Append(&r), 0);
  EXPECT_EQ(Lines().size(), 1u);
}

}  // namespace
