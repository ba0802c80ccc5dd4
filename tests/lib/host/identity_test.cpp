// What another user may do, as the kernel answers for them: a disk of
// nobody's names files of its own and of root's, access control lists
// count, and an answer asked for one file is never given for another that
// its name leads to; also where the kernel cannot judge an open file.
#include "host/identity.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

using testsupport::InChild;
using testsupport::TempDir;
using testsupport::WriteFile;

// Puts faccessat2 under action here and in children: -1 when it cannot,
// else 0 or, for SECCOMP_RET_USER_NOTIF, the descriptor that would answer.
int OnFaccessat2(uint32_t action) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_faccessat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, action),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{sizeof filter / sizeof filter[0], filter};
  unsigned flags = action == SECCOMP_RET_USER_NOTIF ? SECCOMP_FILTER_FLAG_NEW_LISTENER : 0;
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
             ? static_cast<int>(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &program))
             : -1;
}

// An open disk, closed at the end of the test.
struct Held {
  explicit Held(const std::string &path) {
    int error = 0;
    EXPECT_EQ(HostDisk_Open(path.c_str(), false, &disk, &error), HostDiskOpen::Opened) << path;
  }
  ~Held() { HostDisk_Close(&disk); }
  HostDisk disk;
};

TEST(HostIdentity, OwnerRefusesNamesTheFirstFileTheyMayNotUse) {
  const passwd *nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) {
    GTEST_SKIP() << "needs the superuser and an account nobody";
  }
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::string disk = dir.file("disk"), theirs = dir.file("theirs"), roots = dir.file("roots"),
              shared = dir.file("shared"), denied = dir.file("denied"),
              granted = dir.file("granted"), gone = dir.file("gone");
  for (const std::string &f : {disk, theirs, roots, shared, denied, granted}) {
    WriteFile(f, "x");
  }
  ASSERT_EQ(chmod(granted.c_str(), 0600), 0);
  for (const auto &[f, entry] : {std::pair{denied, "u:nobody:---"}, {granted, "u:nobody:r--"}}) {
    ASSERT_EQ(testsupport::Run({"setfacl", "-m", entry, f}).exitCode, 0) << "setfacl " << f;
  }
  for (const std::string &f : {disk, theirs}) {
    ASSERT_EQ(chown(f.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  ASSERT_EQ(chmod(theirs.c_str(), 0644), 0);
  ASSERT_EQ(chmod(roots.c_str(), 0600), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0644), 0);
  Held diskHeld(disk), theirsHeld(theirs), rootsHeld(roots), sharedHeld(shared), deniedHeld(denied),
      grantedHeld(granted);
  // Their own file, to be read and written; root's that they may read.
  const HostOwnedFile own{theirs.c_str(), true, &theirsHeld.disk};
  const HostOwnedFile readable{shared.c_str(), false, &sharedHeld.disk};
  const HostOwnedFile byName{theirs.c_str(), true, nullptr};
  std::vector<HostOwnedFile> many(3000, readable);
  many.back() = {roots.c_str(), false, &rootsHeld.disk};
  struct Case {
    const char *what;
    const Held &owner;
    std::vector<HostOwnedFile> files;
    size_t refused;  // files.size(): none
  } cases[] = {
      {"their own files", diskHeld, {own, readable, byName, own}, 4},
      {"root's file", diskHeld, {{roots.c_str(), false, &rootsHeld.disk}}, 0},
      {"root's file they may only read", diskHeld, {{shared.c_str(), true, &sharedHeld.disk}}, 0},
      {"denied by an access control list",
       diskHeld,
       {own, {denied.c_str(), false, &deniedHeld.disk}, own},
       1},
      {"granted by an access control list",
       diskHeld,
       {{granted.c_str(), false, &grantedHeld.disk}, own},
       2},
      {"root's file in the middle",
       diskHeld,
       {own, readable, {roots.c_str(), false, nullptr}, own, {denied.c_str(), false, nullptr}},
       2},
      // The name led to their file while root's was held.
      {"another file than the one held",
       diskHeld,
       {own, readable, {theirs.c_str(), false, &rootsHeld.disk}, own},
       2},
      {"a file that is not there", diskHeld, {own, {gone.c_str(), false, nullptr}}, 1},
      {"the last of thousands", diskHeld, many, many.size() - 1},
      {"a disk of root's", rootsHeld, {{roots.c_str(), true, &rootsHeld.disk}, readable}, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(HostIdentity_OwnerRefusesOpen(c.owner.disk, c.files.data(), c.files.size()),
              c.refused);
    EXPECT_EQ(
        InChild([&] {
          // As on a kernel before it, or under a filter that does not know it.
          return OnFaccessat2(SECCOMP_RET_ERRNO | ENOSYS) >= 0
                     ? static_cast<int>(HostIdentity_OwnerRefusesOpen(c.owner.disk, c.files.data(),
                                                                      c.files.size()) == c.refused)
                     : 2;
        }),
        1)
        << "without faccessat2";
  }
  std::vector<HostOwnedFile> named = {byName, {roots.c_str(), false, nullptr}};
  EXPECT_EQ(HostIdentity_OwnerRefuses(disk.c_str(), named.data(), named.size()), 1u);
  EXPECT_EQ(HostIdentity_OwnerRefuses(roots.c_str(), named.data(), named.size()), 2u);
  // The answer does not come (its child stopped by the user it runs as, or
  // held by a file system): no, and soon, for the file it stopped at.
  std::vector<HostOwnedFile> held = {{disk.c_str(), false, &diskHeld.disk}, own};
  EXPECT_EQ(InChild([&] {
              alarm(30);
              return OnFaccessat2(SECCOMP_RET_USER_NOTIF) >= 0
                         ? static_cast<int>(HostIdentity_OwnerRefusesOpen(diskHeld.disk,
                                                                          held.data(), held.size()))
                         : 2;
            }),
            0);
}

}  // namespace
