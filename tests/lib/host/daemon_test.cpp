// The one-instance lock and stopping its holder.
#include "host/daemon.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

TEST(InstanceLock, OneHolderAtATime) {
  testsupport::TempDir dir;
  std::string path = dir.file("service.lock");
  HostInstanceLock *first = nullptr, *second = nullptr;
  ASSERT_EQ(HostInstanceLock_Acquire(path.c_str(), &first), 1);
  EXPECT_EQ(HostInstanceLock_Acquire(path.c_str(), &second), 0);
  EXPECT_EQ(second, nullptr);
  ASSERT_TRUE(HostInstanceLock_RecordPid(first));
  EXPECT_EQ(testsupport::ReadFile(path), std::to_string(getpid()) + "\n");
  HostInstanceLock_Release(first);
  ASSERT_EQ(HostInstanceLock_Acquire(path.c_str(), &second), 1);
  HostInstanceLock_Release(second);
  HostInstanceLock_Release(nullptr);
  EXPECT_EQ(HostInstanceLock_Acquire(dir.file("no/folder").c_str(), &first), -1);
}

TEST(InstanceLock, StopHolder) {
  testsupport::TempDir dir;
  std::string path = dir.file("service.lock");
  EXPECT_EQ(HostInstanceLock_StopHolder(path.c_str(), 1), 0);  // no file: nobody serves

  // Its pid is planted in the lock file below: it must not be signalled.
  pid_t bystander = fork();
  ASSERT_GE(bystander, 0);
  if (bystander == 0) {
    for (;;) pause();
  }

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HostInstanceLock *lock = nullptr;
    if (HostInstanceLock_Acquire(path.c_str(), &lock) != 1 || !HostInstanceLock_RecordPid(lock)) {
      _exit(1);
    }
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  testsupport::WriteFile(path, std::to_string(bystander) + "\n");
  EXPECT_EQ(HostInstanceLock_StopHolder(path.c_str(), 10), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_EQ(waitpid(bystander, &status, WNOHANG), 0);
  kill(bystander, SIGKILL);
  waitpid(bystander, &status, 0);
  EXPECT_EQ(HostInstanceLock_StopHolder(path.c_str(), 1), 0);  // released: nobody serves
}

}  // namespace
