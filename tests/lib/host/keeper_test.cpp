// The keeper holds locks across the gap between two services: they must
// survive the starter closing its own descriptors, a taker giving up midway,
// and come over whole and in order to the one that takes them.
#include "host/keeper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/fs.h"
#include "host/socket.h"
#include "testSupport.h"

namespace {

namespace fs = std::filesystem;

using Taken = std::vector<std::pair<std::string, int>>;

void Found(void *context, const char *label, int fd) {
  static_cast<Taken *>(context)->emplace_back(label, fd);
}

class KeeperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    disk_ = dir_.file("disk");
    testsupport::WriteFile(disk_, std::string(4096, 'd'));
  }

  // A descriptor of the disk holding an exclusive flock and a record lock.
  int LockedDisk() {
    int fd = open(disk_.c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(HostFile_Lock(fd, false, 0, 100), 1);
    return fd;
  }

  // Whether another opener finds the disk's flock and record lock held.
  std::pair<bool, bool> Held() {
    int fd = open(disk_.c_str(), O_RDWR | O_CLOEXEC);
    bool claimed = flock(fd, LOCK_EX | LOCK_NB) != 0;
    bool locked = HostFile_Lock(fd, false, 0, 100) == 0;
    close(fd);
    return {claimed, locked};
  }

  long Start(const std::vector<int> &fds, const std::vector<const char *> &labels) {
    long pid = 0;
    EXPECT_EQ(HostKeeper_Start(dir_.path().c_str(), "keeper", "test-keeper", fds.data(),
                               labels.data(), fds.size(), &pid),
              0);
    return pid;
  }

  // Whether the keeper ended within a few seconds.
  static bool Ended(long pid) {
    return testsupport::Eventually(
        [pid] { return waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG) == pid; });
  }

  testsupport::TempDir dir_;
  std::string disk_;
};

TEST_F(KeeperTest, HoldsLocksUntilTakenOverWholeAndInOrder) {
  std::string longest(HOSTKEEPER_LABEL_MAX, 'x');
  std::vector<int> fds = {LockedDisk(), open(disk_.c_str(), O_RDONLY | O_CLOEXEC)};
  long pid = Start(fds, {"7 file c /a disk", longest.c_str()});
  for (int fd : fds) close(fd);
  EXPECT_EQ(Held(), std::make_pair(true, true)) << "the keeper holds them now";
  int second = -1;
  long none = 0;
  const char *label = "x";
  EXPECT_EQ(HostKeeper_Start(dir_.path().c_str(), "keeper", "k", &fds[0], &label, 1, &none),
            EADDRINUSE);

  // A taker that goes away after the first message takes nothing.
  ASSERT_EQ(HostEndpoint_ConnectPackets(dir_.path().c_str(), "keeper", 1000, &second), 0);
  char buf[64];
  EXPECT_GT(recv(second, buf, sizeof buf, MSG_TRUNC), 0);
  close(second);
  EXPECT_EQ(Held(), std::make_pair(true, true));

  Taken taken;
  ASSERT_EQ(HostKeeper_Take(dir_.path().c_str(), "keeper", Found, &taken), 0);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].first, "7 file c /a disk");
  EXPECT_EQ(taken[1].first, longest);
  struct stat a, b;
  ASSERT_EQ(fstat(taken[0].second, &a), 0);
  ASSERT_EQ(stat(disk_.c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(fcntl(taken[0].second, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_TRUE(Ended(pid));
  EXPECT_FALSE(fs::exists(dir_.file("keeper")));
  EXPECT_EQ(Held(), std::make_pair(true, true)) << "the taker holds them now";
  for (auto &t : taken) close(t.second);
  EXPECT_EQ(Held(), std::make_pair(false, false));

  taken.clear();
  EXPECT_EQ(HostKeeper_Take(dir_.path().c_str(), "keeper", Found, &taken), 0);
  EXPECT_TRUE(taken.empty()) << "no keeper, nothing taken";
}

TEST_F(KeeperTest, EndsAndLetsGoWhenItsEndpointIsRemoved) {
  std::vector<int> fds = {LockedDisk()};
  long pid = Start(fds, {"1 lock /a"});
  close(fds[0]);
  EXPECT_EQ(Held(), std::make_pair(true, true));
  fs::remove(dir_.file("keeper"));
  EXPECT_TRUE(Ended(pid));
  EXPECT_EQ(Held(), std::make_pair(false, false));
}

// A keeper that does not hand over in time (stopped here) would hold the
// locks for good if left: the taker ends it.
TEST_F(KeeperTest, OneThatCannotHandOverIsEnded) {
  std::vector<int> fds = {LockedDisk()};
  long pid = Start(fds, {"1 lock /a"});
  close(fds[0]);
  ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGSTOP), 0);
  Taken taken;
  EXPECT_EQ(HostKeeper_Take(dir_.path().c_str(), "keeper", Found, &taken), ETIMEDOUT);
  EXPECT_TRUE(taken.empty());
  bool ended = Ended(pid);
  if (!ended) {
    kill(static_cast<pid_t>(pid), SIGKILL);  // never left stopped
    waitpid(static_cast<pid_t>(pid), nullptr, 0);
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(Held(), std::make_pair(false, false));
  EXPECT_FALSE(fs::exists(dir_.file("keeper")));
}

TEST_F(KeeperTest, RefusesWhatCouldNotComeBack) {
  std::string tooLong(HOSTKEEPER_LABEL_MAX + 1, 'x');
  int fd = open(disk_.c_str(), O_RDONLY | O_CLOEXEC);
  struct Row {
    int fd;
    const char *label;
  };
  for (Row row : {Row{-1, "a"}, Row{fd, ""}, Row{fd, tooLong.c_str()}}) {
    long pid = 0;
    EXPECT_EQ(HostKeeper_Start(dir_.path().c_str(), "keeper", "k", &row.fd, &row.label, 1, &pid),
              EINVAL)
        << row.label;
  }
  EXPECT_FALSE(fs::exists(dir_.file("keeper")));
  close(fd);
}

}  // namespace
