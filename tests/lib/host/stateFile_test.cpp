// Atomic replacement of state files, bounded reads, links, and change stamps.
// State folders are made and removed end to end, at every step of a mount.
#include "host/stateFile.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

using Names = std::set<std::string>;

// The result and what was read.
std::pair<int, std::string> Read(const std::string &path, size_t max) {
  char *data = nullptr;
  size_t length = 0;
  int rc = HostState_ReadFile(path.c_str(), max, &data, &length);
  std::string out = rc == 0 ? std::string(data, length) : "";
  free(data);
  return {rc, out};
}

// What someone else put where a state file or folder belongs is not ours:
// reading it, or mounting on a folder it leads to, would act on their choice.
TEST(StateFile, LinksAndSpecialFilesAreNotState) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.file("real"), "secret");
  std::filesystem::create_directory(dir.file("folder"));
  std::filesystem::create_symlink(dir.file("real"), dir.file("file-link"));
  std::filesystem::create_directory_symlink(dir.file("folder"), dir.file("folder-link"));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_EQ(Read(dir.file("file-link"), 100), std::pair(ELOOP, std::string()));
  EXPECT_EQ(Read(dir.file("fifo"), 100).first, EINVAL);  // returns at once
  EXPECT_EQ(Read(dir.file("folder"), 100).first, EISDIR);
  EXPECT_EQ(HostState_MakeDir(dir.file("folder").c_str()), 0);
  EXPECT_EQ(HostState_MakeDir(dir.file("folder-link").c_str()), EEXIST);
}

TEST(StateFile, ReplaceAndRead) {
  testsupport::TempDir dir;
  std::string path = dir.file("table");
  ASSERT_EQ(HostState_WriteFile(path.c_str(), "one\n", 4), 0);
  std::ifstream reader(path);  // opened before the replacement: sees the old text whole
  ASSERT_EQ(HostState_WriteFile(path.c_str(), "two\0x", 5), 0);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), "one\n");
  EXPECT_EQ(Read(path, 5), std::pair(0, std::string("two\0x", 5)));
  EXPECT_EQ(Read(path, 4).first, EFBIG);
  EXPECT_EQ(Read(dir.file("missing"), 100).first, ENOENT);
  EXPECT_EQ(testsupport::Names(dir.path()), Names{"table"});  // no temporary files
}

// Writes under a file size limit of 4 bytes; exits 0 when both kinds of
// replacement failed.
[[noreturn]] void WriteOutOfRoom(const std::string &path) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {4, 4};
  setrlimit(RLIMIT_FSIZE, &limit);
  exit(HostState_WriteFile(path.c_str(), "longer\n", 7) != 0 &&
               HostState_ReplaceFile(path.c_str(), "longer\n", 7) != 0
           ? 0
           : 1);
}

TEST(StateFileDeathTest, FailedReplaceLeavesTheOldFile) {
  testsupport::TempDir dir;
  std::string path = dir.file("table");
  ASSERT_EQ(HostState_WriteFile(path.c_str(), "old\n", 4), 0);
  // Writes that run out of room (here: the file size limit) must fail.
  EXPECT_EXIT(WriteOutOfRoom(path), testing::ExitedWithCode(0), "");
  std::string folder = dir.file("target");
  std::filesystem::create_directories(folder + "/inside");  // rename cannot replace it
  EXPECT_NE(HostState_WriteFile(folder.c_str(), "x", 1), 0);
  EXPECT_TRUE(std::filesystem::is_directory(folder + "/inside"));
  EXPECT_EQ(HostState_WriteFile(dir.file("no/such/folder").c_str(), "x", 1), ENOENT);
  EXPECT_EQ(testsupport::ReadFile(path), "old\n");
  EXPECT_EQ(testsupport::Names(dir.path()), (Names{"table", "target"}));  // no temporary files
}

// A crash between writing and renaming leaves the temporary file, which
// only the cleanup of leftovers takes away.
TEST(StateFile, LeftoversOfCutShortReplacementsAreRemoved) {
  testsupport::TempDir dir;
  ASSERT_EQ(HostState_WriteFile(dir.file("table").c_str(), "t", 1), 0);
  for (const char *name : {".#state.Ab3xYz", ".#state.q1w2e3", ".#other", "state.x"}) {
    testsupport::WriteFile(dir.file(name), "x");
  }
  HostState_RemoveLeftovers(dir.path().c_str());
  EXPECT_EQ(testsupport::Names(dir.path()), (Names{"table", ".#other", "state.x"}));
}

TEST(StateFile, ReadLink) {
  testsupport::TempDir dir;
  std::string link = dir.file("e:");
  std::string target(300, 'x');  // longer than the first buffer
  std::filesystem::create_symlink("/" + target, link);
  char *read = nullptr;
  ASSERT_EQ(HostState_ReadLink(link.c_str(), &read), 0);
  EXPECT_EQ(testsupport::Take(read), "/" + target);
  EXPECT_EQ(HostState_ReadLink(dir.path().c_str(), &read), EINVAL);
  EXPECT_EQ(HostState_ReadLink(dir.file("none").c_str(), &read), ENOENT);
}

TEST(StateFile, StampsTellChanges) {
  testsupport::TempDir dir;
  std::string path = dir.file("plan");
  HostFileStamp missing, first, same, resized, replaced;
  ASSERT_TRUE(HostState_Stamp(path.c_str(), &missing));
  EXPECT_FALSE(missing.exists);
  testsupport::WriteFile(path, "abc");
  ASSERT_TRUE(HostState_Stamp(path.c_str(), &first));
  ASSERT_TRUE(HostState_Stamp(path.c_str(), &same));
  EXPECT_TRUE(first.exists);
  EXPECT_TRUE(HostState_SameStamp(first, same));
  EXPECT_FALSE(HostState_SameStamp(first, missing));
  testsupport::WriteFile(path, "abcd");
  ASSERT_TRUE(HostState_Stamp(path.c_str(), &resized));
  EXPECT_FALSE(HostState_SameStamp(first, resized));
  ASSERT_EQ(HostState_WriteFile(path.c_str(), "abcd", 4), 0);
  ASSERT_TRUE(HostState_Stamp(path.c_str(), &replaced));
  EXPECT_FALSE(HostState_SameStamp(resized, replaced));  // a new inode
}

}  // namespace
