// Folder listings: every name once, links and plain entries told apart
// without following them, listings that outgrow their first region, and a
// folder that cannot be read.
#include "host/folderNames.h"

#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "host/lastError.h"
#include "testSupport.h"

namespace {

std::map<std::string, bool> Read(const std::string &path) {
  HostFolderNames list;
  std::map<std::string, bool> names;
  EXPECT_TRUE(HostFs_ReadFolderNames(path.c_str(), &list));
  for (size_t i = 0; i < list.count; i++) {
    EXPECT_TRUE(names.emplace(list.names[i].name, list.names[i].plain).second);
  }
  HostFs_FreeFolderNames(&list);
  EXPECT_EQ(list.names, nullptr);
  return names;
}

TEST(HostFolderNamesTest, NamesAndKinds) {
  testsupport::TempDir dir;
  EXPECT_TRUE(Read(dir.path()).empty());
  testsupport::WriteFile(dir.file("file.bxdk"), "");
  std::filesystem::create_directory(dir.file("sub"));
  std::filesystem::create_symlink("nowhere", dir.file("dangling"));
  std::filesystem::create_symlink("file.bxdk", dir.file("link"));
  std::map<std::string, bool> want = {
      {"file.bxdk", true}, {"sub", true}, {"dangling", false}, {"link", false}};
  EXPECT_EQ(Read(dir.path()), want);
}

TEST(HostFolderNamesTest, ListingsLargerThanOneRegion) {
  testsupport::TempDir dir;
  // About 2.3 MB of names: more than the first region holds.
  const int kCount = 9000;
  std::string tail(240, 'x');
  for (int i = 0; i < kCount; i++) {
    testsupport::WriteFile(dir.file(std::to_string(i) + tail), "");
  }
  std::map<std::string, bool> names = Read(dir.path());
  ASSERT_EQ(names.size(), static_cast<size_t>(kCount));
  EXPECT_EQ(names.count("8999" + tail), 1u);
}

TEST(HostFolderNamesTest, MissingFolderAndNull) {
  testsupport::TempDir dir;
  HostFolderNames list;
  EXPECT_FALSE(HostFs_ReadFolderNames(dir.file("missing").c_str(), &list));
  EXPECT_EQ(Host_ErrorKind(Host_GetLastError()), HOST_ERROR_NOT_FOUND);
  EXPECT_EQ(list.count, 0u);
  HostFs_FreeFolderNames(&list);
  EXPECT_FALSE(HostFs_ReadFolderNames(nullptr, &list));
}

}  // namespace
