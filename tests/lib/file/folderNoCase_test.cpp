// Case-blind look-ups from one reading of a folder: the same answers as the
// look-up that reads the folder each time, the exact name first, else the
// match that sorts first byte by byte.
#include "file/folderNoCase.h"

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/lookup.h"
#include "testSupport.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

using Names = std::unique_ptr<FolderNoCase, void (*)(FolderNoCase *)>;

Names Index(const std::string &folder) {
  return Names(FolderNoCase_Create(folder.c_str()), FolderNoCase_Free);
}

// The name found, or "-" for none.
std::string Found(char *found) { return found != nullptr ? testsupport::Take(found) : "-"; }

TEST(FolderNoCaseTest, AnswersAsTheFolderItselfDoes) {
  const struct {
    std::vector<std::string> present;
    std::vector<std::pair<std::string, std::string>> lookups;  // name, found
  } cases[] = {
      {{"VM.BXSD"}, {{"vm.bxsd", "VM.BXSD"}, {"VM.BXSD", "VM.BXSD"}, {"vm.bxs", "-"}}},
      {{"Vm.bxsd", "vM.bxsd", "VM.BXSD"},
       {{"vm.bxsd", "VM.BXSD"}, {"vM.bxsd", "vM.bxsd"}, {"VM.bxsd", "VM.BXSD"}}},
      // Between the upper-case and the lower-case letters, and beyond them.
      {{"a_", "A[", "a{", "A@", "ab", "AB"},
       {{"A_", "a_"}, {"a[", "A["}, {"A{", "a{"}, {"a@", "A@"}, {"Ab", "AB"}, {"a", "-"}}},
      // Bytes above 0x7F compare exactly.
      {{"\xc3\x84.bxsd", "\xc3\xa4x"}, {{"\xc3\xa4.bxsd", "-"}, {"\xc3\xa4X", "\xc3\xa4x"}}},
      {{"sub/"}, {{"SUB", "sub"}, {".", "."}, {"..", ".."}, {"sub/x", "-"}, {"", "-"}}},
      {{}, {{"vm.bxsd", "-"}}},
  };
  for (const auto &c : cases) {
    TempDir dir;
    for (const std::string &name : c.present) {
      if (name.ends_with("/")) {
        mkdir(dir.file(name).c_str(), 0700);
      } else {
        WriteFile(dir.file(name), "");
      }
    }
    for (const std::string &folder : {dir.path(), dir.path() + "/"}) {
      Names names = Index(dir.path());
      for (const auto &[name, want] : c.lookups) {
        EXPECT_EQ(Found(FolderNoCase_Find(names.get(), folder.c_str(), name.c_str())), want)
            << name;
        EXPECT_EQ(Found(HostDir_FindNoCase(folder.c_str(), name.c_str())), want) << name;
      }
    }
  }
}

// The folder is read at the first look-up in it, and only then; another
// folder, or none that can be read, is asked itself.
TEST(FolderNoCaseTest, ReadsItsFolderOnceAndNoOther) {
  TempDir dir;
  WriteFile(dir.file("Early"), "");
  Names names = Index(dir.path() + "/");
  WriteFile(dir.file("First"), "");
  EXPECT_EQ(Found(FolderNoCase_Find(names.get(), dir.path().c_str(), "first")), "First");
  WriteFile(dir.file("Later"), "");
  EXPECT_EQ(Found(FolderNoCase_Find(names.get(), dir.path().c_str(), "later")), "-");
  EXPECT_EQ(Found(FolderNoCase_Find(names.get(), dir.path().c_str(), "EARLY")), "Early");

  mkdir(dir.file("other").c_str(), 0700);
  WriteFile(dir.file("other/Later"), "");
  EXPECT_EQ(Found(FolderNoCase_Find(names.get(), dir.file("other").c_str(), "later")), "Later");
  EXPECT_EQ(Found(FolderNoCase_Find(nullptr, dir.path().c_str(), "later")), "Later");

  Names missing = Index(dir.file("missing"));
  EXPECT_EQ(Found(FolderNoCase_Find(missing.get(), dir.file("missing").c_str(), "x")), "-");
  mkdir(dir.file("missing").c_str(), 0700);
  WriteFile(dir.file("missing/X"), "");
  EXPECT_EQ(Found(FolderNoCase_Find(missing.get(), dir.file("missing").c_str(), "x")), "X");
}

}  // namespace
