// What another user may do, as the kernel answers for them: a disk of
// nobody's names files of its own and of root's, and an answer asked for one
// file is never given for another that its name leads to.
#include "host/identity.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

HostDiskKey KeyOf(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

TEST(HostIdentity, OwnerMayAnswersForTheFileHeld) {
  const passwd *nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) {
    GTEST_SKIP() << "needs the superuser and an account nobody";
  }
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::string disk = dir.file("disk"), theirs = dir.file("theirs"), roots = dir.file("roots"),
              shared = dir.file("shared");
  for (const std::string &f : {disk, theirs, roots, shared}) {
    WriteFile(f, "x");
  }
  for (const std::string &f : {disk, theirs}) {
    ASSERT_EQ(chown(f.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  ASSERT_EQ(chmod(theirs.c_str(), 0644), 0);
  ASSERT_EQ(chmod(roots.c_str(), 0600), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0644), 0);
  const HostDiskKey theirsKey = KeyOf(theirs), rootsKey = KeyOf(roots), sharedKey = KeyOf(shared);
  struct Case {
    const char *what;
    std::string named, path;
    bool write;
    const HostDiskKey *file;
    bool may;
  } cases[] = {
      {"their own file", disk, theirs, true, nullptr, true},
      {"held as it is judged", disk, theirs, true, &theirsKey, true},
      {"root's file", disk, roots, false, nullptr, false},
      // The name led to their file while root's was held.
      {"another file than the one held", disk, theirs, false, &rootsKey, false},
      {"root's file they may read", disk, shared, false, &sharedKey, true},
      {"root's file they may only read", disk, shared, true, &sharedKey, false},
      {"a disk of root's", roots, roots, true, &rootsKey, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(HostIdentity_OwnerMay(c.named.c_str(), c.path.c_str(), c.write, c.file), c.may);
  }
}

}  // namespace
