// Choosing the backend: by name, by the environment, and the default, which
// is the loop backend exactly where this process can set up loop devices.
#include "backend.h"

#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "host/loop.h"
#include "testSupport.h"

namespace {

class BackendChoice : public ::testing::Test {
 protected:
  testsupport::ScopedEnv unset_{kBackendVariable, nullptr};

  static std::string Chosen(const std::string &name, std::string *error) {
    std::unique_ptr<Backend> b = Backend_Make(name, error);
    return b == nullptr ? "" : b->Name();
  }
};

TEST_F(BackendChoice, ByNameAndByEnvironment) {
  std::string error;
  EXPECT_EQ(Chosen("record", &error), "record");
  EXPECT_EQ(Chosen("tape", &error), "");
  EXPECT_EQ(error, "unknown backend \"tape\" (expected loop or record)");

  setenv(kBackendVariable, "record", 1);
  EXPECT_EQ(Chosen("", &error), "record");
  setenv(kBackendVariable, "tape", 1);
  error.clear();
  EXPECT_EQ(Chosen("", &error), "");
  EXPECT_NE(error.find(kBackendVariable), std::string::npos) << error;
  // The command line wins over the environment.
  EXPECT_EQ(Chosen("record", &error), "record");
}

TEST_F(BackendChoice, DefaultIsLoopWhereUsable) {
  char *why = nullptr;
  bool usable = HostLoop_Usable(&why);
  std::string error;
  EXPECT_EQ(Chosen("", &error), usable ? "loop" : "record");
  if (usable) {
    EXPECT_EQ(Chosen("loop", &error), "loop");
  } else {
    EXPECT_EQ(Chosen("loop", &error), "");
    EXPECT_NE(error.find(why), std::string::npos) << error;
    EXPECT_NE(error.find("--backend record"), std::string::npos) << error;
  }
  EXPECT_EQ(usable, geteuid() == 0 && access("/dev/loop-control", F_OK) == 0);
  free(why);
}

}  // namespace
