// Knowing a loop device again: by its tag, and by its file and byte range
// where the tag cannot be read. Needs the superuser and loop devices.
#include "host/loop.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

TEST(HostLoop, KnownByItsTagOrItsRange) {
  if (std::string why = testsupport::LoopUnusable(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  WriteFile(dir.file("disk.img"), std::string(1 << 20, '\0'));
  WriteFile(dir.file("other.img"), std::string(1 << 20, '\0'));
  int disk = open(dir.file("disk.img").c_str(), O_RDWR | O_CLOEXEC);
  int other = open(dir.file("other.img").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(disk, 0);
  ASSERT_GE(other, 0);
  HostLoopDevice set;
  ASSERT_EQ(HostLoop_AttachHandle(disk, false, 4096, 65536, "loop-test tag", &set), 0);
  struct Case {
    const char *what;
    const char *tag;  // else by file and range
    int file;
    uint64_t offset, length;
    int expected;
  } cases[] = {
      {"its tag", "loop-test tag", -1, 0, 0, 0},
      {"another tag", "loop-test other", -1, 0, 0, ESTALE},
      {"its file and range", nullptr, disk, 4096, 65536, 0},
      {"another file", nullptr, other, 4096, 65536, ESTALE},
      {"no file", nullptr, -1, 4096, 65536, ESTALE},
      {"another start", nullptr, disk, 0, 65536, ESTALE},
      {"another length", nullptr, disk, 4096, 4096, ESTALE},
  };
  for (const Case &c : cases) {
    HostLoopDevice opened;
    int rc = c.tag != nullptr ? HostLoop_Open(set.number, c.tag, &opened)
                              : HostLoop_OpenSpan(set.number, c.offset, c.length, c.file, &opened);
    EXPECT_EQ(rc, c.expected) << c.what;
    EXPECT_EQ(opened.fd >= 0, c.expected == 0) << c.what;
    HostLoop_Close(&opened);
  }
  int number = set.number;
  ASSERT_EQ(HostLoop_Free(&set), 0);
  HostLoopDevice gone;
  EXPECT_EQ(HostLoop_OpenSpan(number, 4096, 65536, disk, &gone), ENXIO);
  EXPECT_EQ(HostLoop_Open(number, "loop-test tag", &gone), ENXIO);
  close(disk);
  close(other);
}

}  // namespace
