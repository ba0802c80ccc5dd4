// Detached starts: exec failures come back as error codes; a started program
// runs in its own session with its standard streams on /dev/null.
#include "host/process.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "host/socket.h"
#include "testSupport.h"

namespace {

TEST(ProcessTest, FailuresToExecAreReported) {
  testsupport::TempDir dir;
  EXPECT_EQ(HostProcess_StartDetached(dir.file("missing").c_str()), ENOENT);
  testsupport::WriteFile(dir.file("plain"), "#!/bin/sh\n");
  EXPECT_EQ(HostProcess_StartDetached(dir.file("plain").c_str()), EACCES);
}

TEST(ProcessTest, StartedProgramIsDetached) {
  testsupport::TempDir dir;
  std::string mark = dir.file("mark");
  std::string script = dir.file("server.sh");
  testsupport::WriteFile(script,
                         "#!/bin/sh\n"
                         "s=$(cut -d' ' -f6 /proc/$$/stat)\n"
                         "echo \"$$ $s $(readlink /proc/$$/fd/0) $(readlink /proc/$$/fd/1) "
                         "$(readlink /proc/$$/fd/2)\" > \"$MARK.tmp\"\n"
                         "mv \"$MARK.tmp\" \"$MARK\"\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  setenv("MARK", mark.c_str(), 1);
  ASSERT_EQ(HostProcess_StartDetached(script.c_str()), 0);
  unsetenv("MARK");
  for (int i = 0; i < 1000 && !std::filesystem::exists(mark); i++) HostClock_SleepMs(10);
  std::istringstream fields(testsupport::ReadFile(mark));
  std::string pid, session, in, out, err;  // as the script wrote them
  fields >> pid >> session >> in >> out >> err;
  EXPECT_FALSE(pid.empty());
  std::istringstream self(testsupport::ReadFile("/proc/self/stat"));
  std::string ourSession;
  for (int i = 0; i < 6; i++) self >> ourSession;
  EXPECT_NE(session, ourSession) << "runs in a session of its own";
  EXPECT_EQ(in, "/dev/null");
  EXPECT_EQ(out, "/dev/null");
  EXPECT_EQ(err, "/dev/null");
}

}  // namespace
