// The one-instance lock and stopping its holder.
#include "host/daemon.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

// One holder at a time, and its pid in the file, are seen end to end.
TEST(InstanceLock, StopHolder) {
  testsupport::TempDir dir;
  std::string path = dir.file("service.lock");
  EXPECT_EQ(HostInstanceLock_StopHolder(path.c_str(), 1), 0);  // no file: nobody serves
  HostInstanceLock *lock = nullptr;
  EXPECT_EQ(HostInstanceLock_Acquire(dir.file("no/folder").c_str(), &lock), -1);

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
