// A client process killed while it holds objects of the real service leaves
// nothing behind there: its connection is closed and the service goes on.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "com/activation.h"
#include "com/apartment.h"
#include "com/mountService.h"
#include "testSupport.h"

namespace {

// Counts sockets only: the pipe that tells the starter the service is ready
// is closed a moment after the starter returns.
int OpenDescriptors(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::error_code linkError;
    n += std::filesystem::read_symlink(it->path(), linkError).string().rfind("socket:", 0) == 0;
  }
  return n;
}

bool WaitFor(const std::function<bool()> &condition) {
  for (int i = 0; i < 200; i++) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

// The child: takes objects of the service, tells the parent, then waits to die.
[[noreturn]] void HoldObjectsAndWait(int ready) {
  CoInitialize(nullptr);
  IMountLocator *locator = nullptr;
  IMountManager *manager = nullptr;
  IMountList *mounts = nullptr;
  BSTR empty = SysAllocString(u"");
  bool ok = SUCCEEDED(CoCreateInstance(CLSID_MountLocator, nullptr, CLSCTX_ALL, IID_IMountLocator,
                                       reinterpret_cast<void **>(&locator))) &&
            SUCCEEDED(locator->Connect(empty, empty, 0, &manager)) &&
            SUCCEEDED(manager->GetMounts(&mounts));
  char c = ok ? '1' : '0';
  if (write(ready, &c, 1) != 1) _exit(2);
  pause();
  _exit(0);
}

TEST(KilledClient, LeavesNothingInTheService) {
  std::string service = testsupport::BinDir() + "/bmount-service";
  if (testsupport::BinDir().empty() || access(service.c_str(), X_OK) != 0) {
    GTEST_SKIP() << "bmount-service not built";
  }
  testsupport::TempDir dir;
  std::string prefix = dir.path() + "/host";
  setenv("BRENIX_HOST_PREFIX", prefix.c_str(), 1);
  ASSERT_EQ(testsupport::Run({service}).exitCode, 0);
  pid_t server = std::atoi(testsupport::ReadFile(prefix + "/run/bmount-service.lock").c_str());
  ASSERT_GT(server, 0);
  int baseline = OpenDescriptors(server);

  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t child = fork();
  if (child == 0) {
    close(pipeFds[0]);
    HoldObjectsAndWait(pipeFds[1]);
  }
  close(pipeFds[1]);
  char c = 0;
  ASSERT_EQ(read(pipeFds[0], &c, 1), 1);
  close(pipeFds[0]);
  EXPECT_EQ(c, '1');
  EXPECT_GT(OpenDescriptors(server), baseline);  // the child's connection

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(WaitFor([&] { return OpenDescriptors(server) == baseline; }));
  EXPECT_EQ(kill(server, 0), 0);  // still serving

  EXPECT_EQ(testsupport::Run({service, "--stop"}).exitCode, 0);
  unsetenv("BRENIX_HOST_PREFIX");
}

}  // namespace
