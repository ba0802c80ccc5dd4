// The descriptor owner: closed on every path, handed on by moving, kept open
// when released, and the error of the failed call survives the close.
#include "host/descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include <gtest/gtest.h>

namespace {

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

int OpenNull() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

TEST(HostFdTest, ClosesOnceAndOnlyItsOwn) {
  int raw = OpenNull();
  {
    HostFd first(raw);
    HostFd second(std::move(first));
    EXPECT_FALSE(first.Valid());
    EXPECT_EQ(second.Get(), raw);
    HostFd third;
    third = std::move(second);
    EXPECT_TRUE(IsOpen(raw));
  }
  EXPECT_FALSE(IsOpen(raw));

  int kept = OpenNull();
  {
    HostFd owner(kept);
    EXPECT_EQ(owner.Release(), kept);
  }
  EXPECT_TRUE(IsOpen(kept));
  close(kept);

  int replaced = OpenNull();
  int next = OpenNull();
  HostFd owner(replaced);
  owner.Reset(next);
  EXPECT_FALSE(IsOpen(replaced));
  EXPECT_TRUE(IsOpen(next));
}

TEST(HostFdTest, CloseKeepsTheLastError) {
  HostFd owner(OpenNull());
  errno = ENOSPC;
  owner.Reset();
  EXPECT_EQ(errno, ENOSPC);
}

}  // namespace
