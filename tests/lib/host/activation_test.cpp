// Taking over a socket handed over by a service manager: only the one meant
// for this process, only a listening stream socket, and the announcement is
// gone afterwards.
#include "host/activation.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "host/socket.h"
#include "testSupport.h"

namespace {

class HandedOverSocket : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = dup(3); }  // whatever the test runner has there
  void TearDown() override {
    if (saved_ >= 0) {
      dup2(saved_, 3);
      close(saved_);
    } else {
      close(3);
    }
  }
  static void Announce(long pid, const char *count) {
    setenv("LISTEN_PID", std::to_string(pid).c_str(), 1);
    setenv("LISTEN_FDS", count, 1);
    setenv("LISTEN_FDNAMES", "endpoint", 1);
  }
  static bool Announced() {
    return getenv("LISTEN_PID") != nullptr || getenv("LISTEN_FDS") != nullptr ||
           getenv("LISTEN_FDNAMES") != nullptr;
  }

  int saved_ = -1;
};

TEST_F(HandedOverSocket, OnlyAListeningSocketForThisProcessIsTaken) {
  testsupport::TempDir dir;
  int fd = -1;
  ASSERT_EQ(HostEndpoint_Listen(dir.path().c_str(), "endpoint", &fd), 0);
  ASSERT_EQ(dup2(fd, 3), 3);
  HostStream_Close(fd);
  Announce(getpid() + 1, "1");
  EXPECT_EQ(HostActivation_ListenFd(), -1);
  EXPECT_FALSE(Announced());
  for (const char *count : {"0", "x1"}) {
    Announce(getpid(), count);
    EXPECT_EQ(HostActivation_ListenFd(), -1) << count;
  }

  Announce(getpid(), "1");
  EXPECT_EQ(HostActivation_ListenFd(), 3);
  EXPECT_FALSE(Announced());
  // Asked again, with nothing announced, there is nothing to take.
  EXPECT_EQ(HostActivation_ListenFd(), -1);

  // A connected stream is no endpoint to serve on.
  int pair[2];
  ASSERT_EQ(HostStream_Pair(pair), 0);
  ASSERT_EQ(dup2(pair[0], 3), 3);
  HostStream_Close(pair[0]);
  HostStream_Close(pair[1]);
  Announce(getpid(), "1");
  EXPECT_EQ(HostActivation_ListenFd(), -1);
}

}  // namespace
