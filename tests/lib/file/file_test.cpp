// Paths: splitting in every accepted form, full paths, same-file tests,
// search-path lookup and the temporary folder with its expansion rules.
#include "file/file.h"
#include "file/folderCache.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "testSupport.h"
#include "user/msg.h"

namespace {

using testsupport::Take;
using testsupport::TempDir;
using testsupport::WriteFile;

// "volume|directory|base".
std::string SplitOf(const char *path) {
  char *v = nullptr, *d = nullptr, *b = nullptr;
  File_SplitName(path, &v, &d, &b);
  return Take(v) + "|" + Take(d) + "|" + Take(b);
}

TEST(FileSplitName, DriveUncAndHostForms) {
  // Pairs of a path and its split.
  // clang-format off
  const char *const cases[] = {
      "C:\\dir\\sub\\file.bxx", "C:|\\dir\\sub\\|file.bxx",
      "\\\\server\\share\\a\\b", "\\\\server\\share|\\a\\|b",
      "//server/share/a/b", "//server/share|/a/|b", "\\\\server\\share", "\\\\server\\share||",
      "\\\\server", "\\\\server||", "file", "||file", "/vms/a/disk.bxdk", "|/vms/a/|disk.bxdk",
      "/vms\\mixed/x", "|/vms\\mixed/|x", "C:", "C:||", "C:file", "C:|file|", "", "||",
      "dir/", "|dir/|"};
  // clang-format on
  for (size_t i = 0; i < std::size(cases); i += 2) {
    EXPECT_EQ(SplitOf(cases[i]), cases[i + 1]) << cases[i];
  }
  File_SplitName("a/b", nullptr, nullptr, nullptr);
}

TEST(FileGetPathName, RemovesOneTrailingSeparator) {
  char *dir = nullptr, *base = nullptr;
  File_GetPathName("C:\\file", &dir, &base);
  EXPECT_EQ(Take(dir), "C:");
  EXPECT_EQ(Take(base), "file");
  const std::string longDir = "/" + std::string(1000, 'd');
  const std::pair<std::string, std::string> cases[] = {
      {"/vms/a//disk", "/vms/a/"},
      {"/disk", ""},
      {"\\\\srv\\share\\x", "\\\\srv\\share"},
      {longDir + "/f", longDir},
  };
  for (const auto &[path, want] : cases) {
    File_GetPathName(path.c_str(), &dir, nullptr);
    EXPECT_EQ(Take(dir), want) << path;
  }
}

TEST(FilePaths, FullPathForms) {
  for (const char *path : {"/x", "\\x", "c:\\x"}) EXPECT_TRUE(File_IsFullPath(path)) << path;
  for (const char *path : {"c:x", "x/y", ""}) EXPECT_FALSE(File_IsFullPath(path)) << path;
  const char *const kFull[][2] = {
      {"/a/./b/../c", "/a/c"}, {"/a/..b/.c", "/a/..b/.c"}, {"/a//b/.", "/a/b"}};
  for (auto &[path, full] : kFull) EXPECT_EQ(Take(File_FullPath(path)), full) << path;
}

TEST(FilePathsDeathTest, FullPathWithoutWorkingDirectoryWarns) {
  EXPECT_EXIT(
      {
        TempDir dir;
        std::string gone = dir.file("gone");
        if (mkdir(gone.c_str(), 0700) != 0 || chdir(gone.c_str()) != 0) std::_Exit(9);
        rmdir(gone.c_str());
        std::_Exit(File_FullPath("x") == nullptr ? 0 : 1);
      },
      testing::ExitedWithCode(0), "File_FullPath: Couldn't _fullpath\n");
}

TEST(FileIsSameFile, LinksAndKinds) {
  TempDir dir;
  WriteFile(dir.file("a"), "1");
  WriteFile(dir.file("b"), "1");
  ASSERT_EQ(link(dir.file("a").c_str(), dir.file("hard").c_str()), 0);
  ASSERT_EQ(symlink("a", dir.file("soft").c_str()), 0);
  ASSERT_EQ(mkdir(dir.file("d").c_str(), 0700), 0);
  EXPECT_TRUE(File_IsSameFile(dir.file("a").c_str(), dir.file("hard").c_str()));
  EXPECT_TRUE(File_IsSameFile(dir.file("soft").c_str(), dir.file("a").c_str()));
  EXPECT_TRUE(File_IsSameFile((dir.path() + "/d/../a").c_str(), dir.file("a").c_str()));
  EXPECT_FALSE(File_IsSameFile(dir.file("a").c_str(), dir.file("b").c_str()));
  EXPECT_FALSE(File_IsSameFile(dir.file("a").c_str(), dir.file("missing").c_str()));
  EXPECT_TRUE(File_IsSameFile("/no/such", "/no/such"));  // identical text
  EXPECT_TRUE(File_IsSameFile(dir.file("d").c_str(), (dir.file("d") + "/.").c_str()));
  EXPECT_FALSE(File_IsSameFile(dir.file("d").c_str(), dir.file("a").c_str()));
}

TEST(FileFindFileInSearchPath, OrderOfCandidates) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(dir.file("abs").c_str(), 0700), 0);
  WriteFile(dir.file("sub/only.bxdk"), "");
  WriteFile(dir.file("abs/far.bxdk"), "");
  WriteFile(dir.file("here.bxdk"), "");
  char *found = nullptr;
  ASSERT_TRUE(File_FindFileInSearchPath("here.bxdk", nullptr, dir.path().c_str(), &found));
  EXPECT_EQ(Take(found), dir.file("here.bxdk"));
  ASSERT_TRUE(
      File_FindFileInSearchPath("x\\only.bxdk", "nothing;;sub", dir.path().c_str(), &found));
  EXPECT_EQ(Take(found), dir.file("sub/only.bxdk"));
  std::string search = "sub;" + dir.file("abs");
  ASSERT_TRUE(File_FindFileInSearchPath("far.bxdk", search.c_str(), "/nowhere", &found));
  EXPECT_EQ(Take(found), dir.file("abs/far.bxdk"));
  ASSERT_TRUE(File_FindFileInSearchPath("C:\\vms\\here.bxdk", ".", dir.path().c_str(), nullptr));
  std::string full = dir.file("here.bxdk");
  EXPECT_TRUE(File_FindFileInSearchPath(full.c_str(), "", "/nowhere", nullptr));
  EXPECT_FALSE(File_FindFileInSearchPath("none.bxdk", "sub;.", dir.path().c_str(), &found));
  // Through a folder cache asked for existence only.
  FolderCache *cache = FolderCache_Create();
  EXPECT_TRUE(File_FindFileInSearchPath("far.bxdk", search.c_str(), "/nowhere", nullptr, cache));
  EXPECT_FALSE(File_FindFileInSearchPath("none.bxdk", "sub;.", dir.path().c_str(), nullptr, cache));
  FolderCache_Free(cache);
}

// Returns the temporary folder chosen for a TMPDIR value.
std::string TmpDirFor(const std::string &tmpdir) {
  setenv("TMPDIR", tmpdir.c_str(), 1);
  return Take(File_GetTmpDir());
}

TEST(FileGetTmpDirDeathTest, TmpdirAndExpansion) {
  TempDir dir;
  // Run in a child: the environment changes, and $PID is the child's id.
  EXPECT_EXIT(
      {
        std::string own = dir.file(std::to_string(getpid()));
        mkdir(own.c_str(), 0700);
        mkdir(dir.file("unknown").c_str(), 0700);
        setenv("BRENIX_T_SUB", "unknown", 1);
        unsetenv("PID");
        unsetenv("NO_SUCH_VAR_X");
        int failed = 0;
        if (TmpDirFor(dir.path() + "/") != dir.path()) failed |= 1;
        if (TmpDirFor(dir.path() + "/$BRENIX_T_SUB") != dir.file("unknown")) failed |= 2;
        if (TmpDirFor(dir.path() + "/$PID") != own) failed |= 4;
        struct passwd *pw = getpwuid(geteuid());
        unsetenv("USER");
        mkdir(dir.file(pw->pw_name).c_str(), 0700);
        if (TmpDirFor(dir.path() + "/$USER") != dir.file(pw->pw_name)) failed |= 16;
        // Stays as written, names no folder: /tmp is next.
        if (TmpDirFor(dir.path() + "/$NO_SUCH_VAR_X") != "/tmp") failed |= 8;
        std::_Exit(failed);
      },
      testing::ExitedWithCode(0), "Environment variable 'NO_SUCH_VAR_X' not defined in '.*'\\.\n");
  // Too many parts to expand: the text is left and the message appended.
  EXPECT_EXIT(
      {
        std::string text;
        for (int i = 0; i < 51; i++) text += "/a$HOME";  // 102 parts
        std::string message = "Filename \"";
        message.append(text).append("\" has too many chunks.\n");
        std::_Exit(TmpDirFor(text) == "/tmp" && Msg_GetMessages() == message ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
