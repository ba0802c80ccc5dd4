// The host prefix (where it is, what a fresh one holds, concurrent first
// runs, when it cannot be trusted) and the drive table inside it. That an
// existing prefix is left alone and that the service is registered beside
// the programs are seen end to end.
#include "host/prefix.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/drives.h"
#include "testSupport.h"

namespace fs = std::filesystem;
using testsupport::Take;
using testsupport::TempDir;

namespace {

mode_t Mode(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class PrefixTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string prefix_ = dir_.file("state/deep/prefix");
  testsupport::ScopedEnv env_{"BRENIX_HOST_PREFIX", prefix_};
};

TEST(PrefixPathTest, FollowsTheEnvironment) {
  setenv("BRENIX_HOST_PREFIX", "/some/where//", 1);
  EXPECT_EQ(Take(HostPrefix_Path()), "/some/where");
  unsetenv("BRENIX_HOST_PREFIX");
  if (geteuid() == 0) {
    EXPECT_EQ(Take(HostPrefix_Path()), "/var/lib/brenix-host");
  } else {
    setenv("XDG_STATE_HOME", "/xdg/state", 1);
    EXPECT_EQ(Take(HostPrefix_Path()), "/xdg/state/brenix-host");
    unsetenv("XDG_STATE_HOME");
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(Take(HostPrefix_Path()), "/home/someone/.local/state/brenix-host");
  }
}

TEST_F(PrefixTest, EmptyFolderIsInitialisedAndFileRefused) {
  fs::create_directories(prefix_);
  EXPECT_EQ(Take(HostPrefix_Ensure()), prefix_);
  EXPECT_TRUE(fs::is_symlink(prefix_ + "/drives/c:"));

  // An empty prefix in a folder the caller may not write is filled in place.
  if (geteuid() != 0) {
    std::string fixed = dir_.file("locked/prefix");
    fs::create_directories(fixed);
    chmod(dir_.file("locked").c_str(), 0500);
    setenv("BRENIX_HOST_PREFIX", fixed.c_str(), 1);
    EXPECT_EQ(Take(HostPrefix_Ensure()), fixed);
    EXPECT_TRUE(fs::is_symlink(fixed + "/drives/c:"));
  }

  // A file where the prefix, or a folder on the way to it, belongs is named.
  std::string file = dir_.file("plain");
  testsupport::WriteFile(file, "x");
  for (const std::string &prefix : {file, file + "/sub"}) {
    setenv("BRENIX_HOST_PREFIX", prefix.c_str(), 1);
    EXPECT_EQ(HostPrefix_Ensure(), nullptr);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(Take(HostPrefix_TrustProblem()), file + " is not a folder");
  }
}

// Concurrent first runs agree on one fresh prefix with its defaults.
TEST_F(PrefixTest, FreshPrefixHasItsDefaults) {
  std::vector<std::thread> threads;
  std::vector<std::string> results(8);
  for (size_t i = 0; i < results.size(); i++) {
    threads.emplace_back([&results, i] { results[i] = Take(HostPrefix_Ensure()); });
  }
  for (auto &t : threads) {
    t.join();
  }
  EXPECT_EQ(results, std::vector<std::string>(8, prefix_));
  EXPECT_EQ(Mode(prefix_), 0700u);
  EXPECT_EQ(Mode(prefix_ + "/run"), 0700u);
  EXPECT_EQ(testsupport::Names(prefix_),
            (std::set<std::string>{"bmount", "drives", "eventlog", "registry", "run"}));
  EXPECT_TRUE(fs::is_directory(prefix_ + "/registry/HKLM"));
  EXPECT_EQ(fs::read_symlink(prefix_ + "/drives/c:"), "/");
  EXPECT_EQ(HostDrives_Mask(), 1u << 2);
  // The test executable has no mount service beside it.
  EXPECT_FALSE(fs::exists(prefix_ + "/registry/HKLM/Software"));
  // No temporary folder is left next to the prefix.
  EXPECT_EQ(testsupport::Names(dir_.file("state/deep")), std::set<std::string>{"prefix"});
}

// What another user could change makes the prefix untrusted: nothing is made
// in it, and its registry and drive table cannot be used.
TEST_F(PrefixTest, UntrustedPrefixIsRefused) {
  struct Case {
    const char *name;
    std::function<void(const std::string &prefix)> spoil;
    std::string reason;  // relative to dir_
  };
  const std::string way = dir_.file("state/deep");
  const std::string prefix = prefix_;
  const Case cases[] = {
      {"prefix writable", [](auto &p) { chmod(p.c_str(), 0777); },
       prefix + " can be written by other users (mode 0777)"},
      {"state folder writable", [](auto &p) { chmod((p + "/registry/HKLM").c_str(), 0770); },
       prefix + "/registry/HKLM can be written by other users (mode 0770)"},
      {"state folder a link",
       [](auto &p) {
         fs::create_directory(p + "/../elsewhere");
         fs::create_directory_symlink(p + "/../elsewhere", p + "/bmount/mnt");
       },
       prefix + "/bmount/mnt is a symbolic link"},
      {"folder on the way writable", [&](auto &) { chmod(way.c_str(), 0757); },
       way + ", a folder on the way to the host prefix, can be written by other users (mode "
             "0757)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_.file("state"));
    ASSERT_EQ(Take(HostPrefix_Ensure()), prefix_);
    EXPECT_EQ(HostPrefix_TrustProblem(), nullptr);
    c.spoil(prefix_);
    EXPECT_EQ(Take(HostPrefix_TrustProblem()), c.reason);
    EXPECT_EQ(Take(HostPrefix_EnsureForRun()), c.reason);
    EXPECT_EQ(HostPrefix_Ensure(), nullptr);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(HostDrives_CreateLink('e', "/"), EPERM);
    EXPECT_FALSE(fs::exists(fs::symlink_status(prefix_ + "/drives/e:")));
  }

  // A sticky folder anyone may write (like /tmp) is fine on the way.
  fs::remove_all(dir_.file("state"));
  fs::create_directories(way);
  chmod(way.c_str(), 01777);
  EXPECT_EQ(Take(HostPrefix_Ensure()), prefix_);
  EXPECT_EQ(HostPrefix_TrustProblem(), nullptr);
  if (geteuid() == 0) {
    // ...unless the entry taken from it is someone else's.
    ASSERT_EQ(chown(prefix_.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Take(HostPrefix_TrustProblem()).rfind(prefix_ + " belongs to ", 0), 0u);
  }
}

// A command judges its prefix once; only the owner could change it after.
TEST_F(PrefixTest, TrustedVerdictHoldsForTheRun) {
  EXPECT_EQ(HostPrefix_EnsureForRun(), nullptr);
  EXPECT_TRUE(fs::is_directory(prefix_ + "/drives"));
  chmod(prefix_.c_str(), 0777);
  EXPECT_NE(Take(HostPrefix_TrustProblem()), "<null>");
  EXPECT_EQ(HostDrives_CreateLink('e', "/"), 0);
}

TEST_F(PrefixTest, RelativePrefixIsPinnedToTheWorkingFolder) {
  testsupport::ScopedCwd in(dir_.path());
  setenv("BRENIX_HOST_PREFIX", "rel/prefix", 1);
  EXPECT_EQ(Take(HostPrefix_Ensure()), dir_.file("rel/prefix"));
  EXPECT_STREQ(getenv("BRENIX_HOST_PREFIX"), dir_.file("rel/prefix").c_str());
  ASSERT_EQ(chdir("/"), 0);
  EXPECT_EQ(Take(HostPrefix_Path()), dir_.file("rel/prefix"));
}

TEST_F(PrefixTest, DriveMaskCountsEveryKindOfEntry) {
  ASSERT_EQ(Take(HostPrefix_Ensure()), prefix_);
  std::string drives = prefix_ + "/drives/";
  fs::create_directory_symlink("/nonexistent/target", drives + "u:");
  testsupport::WriteFile(drives + "f:", "");
  fs::create_directory(drives + "z:");
  testsupport::WriteFile(drives + "G:", "");   // upper case: not a drive
  testsupport::WriteFile(drives + "ab:", "");  // not a letter
  EXPECT_EQ(HostDrives_Mask(), (1u << 2) | (1u << 5) | (1u << 20) | (1u << 25));
  // Entries are made and removed end to end; what only a caller's mistake
  // reaches is checked here.
  EXPECT_EQ(HostDrives_CreateLink('1', "/mnt/e"), EINVAL);
  EXPECT_EQ(HostDrives_Remove('u'), 0);  // dangling link
  EXPECT_EQ(HostDrives_Remove('z'), 0);  // empty folder
  EXPECT_EQ(HostDrives_Remove('e'), ENOENT);
  EXPECT_EQ(HostDrives_Mask(), (1u << 2) | (1u << 5));
}

}  // namespace
