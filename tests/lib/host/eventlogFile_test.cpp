// Event-log records as written to the file: whole lines with every field in
// order, text escaping and the marking of bytes that are not UTF-8, whole
// lines from concurrent writers, and a lock that is never let go.
#include "host/eventlogFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "privatePrefix.h"

namespace {

using Lines = std::vector<std::string>;

// Every record is a whole line with every field in order; the programs'
// records are compared field by field end to end.
TEST(EventLogFile, TextIsEscapedAndMadeUtf8) {
  testsupport::PrivatePrefix prefix;
  const char *strings[] = {"tab\tbell\x07quote\"back\\slash\b\f",
                           "bad \xff\xc3 end \xc3\xa9 \xed\xa0\x80 \xf0\x9f\x98\x80 \xe2\x82",
                           nullptr, "c1 \xc2\x80\xc2\x9b\xc2\x9f nbsp \xc2\xa0 del \x7f"};
  HostEventRecord r = {"src", HOSTEVENT_INFORMATION, 1, 3, strings, 4, nullptr};
  ASSERT_EQ(HostEventLog_Append(&r), 0);
  const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
  EXPECT_EQ(
      prefix.EventLog(),
      Lines{R"({"time":"T","source":"src","type":"information","eventId":1,)"
            R"("eventIdHex":"0x00000001","category":3,)"
            R"("strings":["tab\tbell\u0007quote\"back\\slash\b\f","bad )" +
            bad + bad + " end \xc3\xa9 " + bad + bad + bad + " \xf0\x9f\x98\x80 " + bad + bad +
            R"(","","c1 \u0080\u009b\u009f nbsp )" + "\xc2\xa0 del \x7f" + R"("],"message":""})"});
}

TEST(EventLogFile, ConcurrentWritersKeepLinesWhole) {
  testsupport::PrivatePrefix prefix;
  std::filesystem::remove(prefix.file("eventlog"));  // made again on demand
  std::string big(5000, 'x');
  const char *strings[] = {big.c_str()};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&strings] {
      HostEventRecord r = {"src", HOSTEVENT_WARNING, 42, 0, strings, 1, "m"};
      for (int i = 0; i < 50; i++) {
        EXPECT_EQ(HostEventLog_Append(&r), 0);
      }
    });
  }
  for (auto &t : threads) t.join();
  const std::string want = R"({"time":"T","source":"src","type":"warning","eventId":42,)"
                           R"("eventIdHex":"0x0000002A","category":0,"strings":[")" +
                           big + R"("],"message":"m"})";
  EXPECT_EQ(prefix.EventLog(), Lines(200, want));
}

// A writer that never lets go of the log costs a record, not a hang.
TEST(EventLogFile, LockHeldForeverLosesTheRecordOnly) {
  testsupport::PrivatePrefix prefix;
  int fd = open(prefix.file("eventlog/Application.jsonl").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  HostEventRecord r = {"src", HOSTEVENT_ERROR, 7, 0, nullptr, 0, "m"};
  EXPECT_EQ(HostEventLog_Append(&r), EWOULDBLOCK);
  close(fd);
  EXPECT_EQ(HostEventLog_Append(&r), 0);
  EXPECT_EQ(prefix.EventLog().size(), 1u);
}

// A last line cut short, by a crash of the machine or by hand, keeps the
// next record off it.
TEST(EventLogFile, ALineCutShortDoesNotSwallowTheNext) {
  for (const std::string &tail : {std::string(R"({"time":"2026-)"), std::string(8, '\0')}) {
    testsupport::PrivatePrefix prefix;
    std::string path = prefix.file("eventlog/Application.jsonl");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(write(fd, tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
    close(fd);
    HostEventRecord r = {"src", HOSTEVENT_ERROR, 7, 0, nullptr, 0, "m"};
    ASSERT_EQ(HostEventLog_Append(&r), 0);
    std::string text = testsupport::ReadFile(path);
    EXPECT_EQ(text.substr(0, tail.size() + 10), tail + "\n{\"time\":\"");
  }
}

}  // namespace
