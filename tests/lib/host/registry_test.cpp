// The file-backed registry: case-insensitive names that keep their first
// spelling, the value file format, entries others could change, and the
// system errors a caller gets when keys or values cannot be written. Values
// are replaced as state files are (stateFile_test).
#include "host/registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "privatePrefix.h"

namespace fs = std::filesystem;
using testsupport::Names;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  // The result and the text of a string value.
  static std::pair<int, std::string> Query(const char *key, const char *name) {
    char *text = nullptr;
    HostRegType type;
    int rc = HostRegistry_QueryValue(key, name, &type, &text, nullptr);
    return {rc, text != nullptr ? testsupport::Take(text) : ""};
  }

  testsupport::PrivatePrefix prefix_;
  std::string hklm_ = prefix_.file("registry/HKLM");
};

TEST_F(RegistryTest, NamesKeepFirstSpellingAndMatchAnyCase) {
  ASSERT_EQ(HostRegistry_CreateKey("System\\CurrentControlSet\\Services"), 0);
  ASSERT_EQ(HostRegistry_CreateKey("SYSTEM\\currentcontrolset\\Services\\New"), 0);
  EXPECT_FALSE(fs::exists(hklm_ + "/SYSTEM"));
  const char *key = "System\\CurrentControlSet\\Services\\New";
  ASSERT_EQ(HostRegistry_SetString("system\\CURRENTCONTROLSET\\services\\new", "EventMessageFile",
                                   HOSTREG_EXPAND_SZ, "/opt/bin/tool"),
            0);
  ASSERT_EQ(HostRegistry_SetDword((std::string(key) + "\\").c_str(), "TypesSupported", 7), 0);
  // Written again under another spelling: the first one stays.
  ASSERT_EQ(HostRegistry_SetString(key, "EVENTMESSAGEFILE", HOSTREG_EXPAND_SZ, "/opt/bin/other"),
            0);
  std::string folder = hklm_ + "/System/CurrentControlSet/Services/New/";
  EXPECT_EQ(ReadFile(folder + "EventMessageFile"), "REG_EXPAND_SZ\n/opt/bin/other\n");
  EXPECT_EQ(ReadFile(folder + "TypesSupported"), "REG_DWORD\n7\n");
  // No temporary files left.
  EXPECT_EQ(Names(folder), (std::set<std::string>{"EventMessageFile", "TypesSupported"}));

  HostRegType type;
  uint32_t dword = 0;
  EXPECT_EQ(HostRegistry_QueryValue("system\\currentcontrolset\\services\\new", "typessupported",
                                    &type, nullptr, &dword),
            0);
  EXPECT_EQ(std::pair(type, dword), std::pair(HOSTREG_DWORD, 7u));
  EXPECT_EQ(Query(key, "eventmessagefile"), std::pair(0, std::string("/opt/bin/other")));
}

// The registry names the executable activation starts: a key or value that
// someone else made or can change, or a link, is not taken for ours.
TEST_F(RegistryTest, EntriesOthersCouldChangeAreRefused) {
  struct Case {
    const char *name;
    std::function<void(const std::string &key)> spoil;
    int rc;
  };
  const Case cases[] = {
      {"value writable by the group", [](auto &k) { chmod((k + "/@").c_str(), 0660); }, EPERM},
      {"key writable by others", [](auto &k) { chmod(k.c_str(), 0703); }, EPERM},
      {"value is a link",
       [](auto &k) {
         fs::rename(k + "/@", k + "/real");
         fs::create_symlink(k + "/real", k + "/@");
       },
       ENOENT},
      {"value of another user",
       [](auto &k) {
         if (geteuid() == 0)
           chown((k + "/@").c_str(), 65534, 65534);
         else
           chmod((k + "/@").c_str(), 0606);
       },
       EPERM},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(hklm_ + "/Server");
    ASSERT_EQ(HostRegistry_CreateKey("Server"), 0);
    ASSERT_EQ(HostRegistry_SetString("Server", "@", HOSTREG_SZ, "/usr/bin/true"), 0);
    c.spoil(hklm_ + "/Server");
    EXPECT_EQ(Query("Server", "@"), std::pair(c.rc, std::string()));
  }
  chmod(hklm_.c_str(), 0777);
  EXPECT_EQ(HostRegistry_KeyExists("Server"), EPERM);
}

TEST_F(RegistryTest, FailuresCarryTheSystemError) {
  EXPECT_EQ(Query("Missing", "@"), std::pair(ENOENT, std::string()));
  EXPECT_EQ(HostRegistry_SetString("Missing", "v", HOSTREG_SZ, "x"), ENOENT);
  EXPECT_FALSE(fs::exists(hklm_ + "/Missing"));
  EXPECT_EQ(HostRegistry_CreateKey("A\\..\\B"), EINVAL);
  ASSERT_EQ(HostRegistry_CreateKey("A"), 0);
  EXPECT_EQ(HostRegistry_SetString("A", "x/y", HOSTREG_SZ, "x"), EINVAL);
  EXPECT_EQ(HostRegistry_SetString("A", ".#tmp", HOSTREG_SZ, "x"), EINVAL);

  // A value where a key should be.
  ASSERT_EQ(HostRegistry_SetString("A", "Leaf", HOSTREG_SZ, "x"), 0);
  EXPECT_EQ(HostRegistry_CreateKey("A\\Leaf\\Below"), ENOTDIR);

  // Damaged value files.
  for (const char *text : {"REG_DWORD\n4294967296\n", "REG_DWORD\n-1\n", "REG_DWORD\n+1\n",
                           "REG_DWORD\n00000000001\n", "REG_BINARY\n00\n"}) {
    WriteFile(hklm_ + "/A/bad", text);
    EXPECT_EQ(HostRegistry_QueryValue("A", "bad", nullptr, nullptr, nullptr), EINVAL) << text;
  }

  if (geteuid() != 0) {
    chmod((hklm_ + "/A").c_str(), 0500);
    EXPECT_EQ(HostRegistry_SetString("A", "v", HOSTREG_SZ, "x"), EACCES);
    EXPECT_EQ(HostRegistry_CreateKey("A\\Sub"), EACCES);
    chmod((hklm_ + "/A").c_str(), 0700);
  }

  // Without the hive nothing is made above it (a hive that is a file is met
  // end to end).
  fs::remove_all(hklm_);
  EXPECT_EQ(HostRegistry_CreateKey("A"), ENOENT);
  EXPECT_FALSE(fs::exists(hklm_));
}

// Each program that reports an event sets its source's values: an unchanged
// value is not written again, so a writer killed meanwhile leaves nothing.
TEST_F(RegistryTest, OnlyAChangedValueIsWrittenAgain) {
  using Set = std::function<int()>;
  auto text = [](const char *t, HostRegType type = HOSTREG_EXPAND_SZ) {
    return [=] { return HostRegistry_SetString("K", "v", type, t); };
  };
  auto dword = [](uint32_t d) { return [=] { return HostRegistry_SetDword("K", "v", d); }; };
  const struct {
    Set first, second;
    bool written;
  } rows[] = {
      {text("/usr/bin/x"), text("/usr/bin/x"), false},
      {text("/usr/bin/x"), text("/usr/bin/y"), true},
      {text("/usr/bin/x"), text("/usr/bin/x", HOSTREG_SZ), true},
      {dword(7), dword(7), false},
      {dword(7), text("7", HOSTREG_SZ), true},
  };
  ASSERT_EQ(HostRegistry_CreateKey("K"), 0);
  for (const auto &row : rows) {
    ASSERT_EQ(row.first(), 0);
    struct stat before, after;
    ASSERT_EQ(stat((hklm_ + "/K/v").c_str(), &before), 0);
    ASSERT_EQ(row.second(), 0);
    ASSERT_EQ(stat((hklm_ + "/K/v").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino != before.st_ino, row.written) << &row - rows;
    ASSERT_EQ(HostRegistry_DeleteValue("K", "v"), 0);
  }
}

TEST_F(RegistryTest, DeleteValuesAndKeys) {
  ASSERT_EQ(HostRegistry_CreateKey("Top\\Sub"), 0);
  ASSERT_EQ(HostRegistry_SetString("Top", "@", HOSTREG_SZ, "x"), 0);
  EXPECT_EQ(HostRegistry_DeleteKey("top"), ENOTEMPTY);
  EXPECT_TRUE(fs::exists(hklm_ + "/Top/@"));  // a refused delete keeps the values
  EXPECT_EQ(HostRegistry_DeleteKey("TOP\\SUB"), 0);
  EXPECT_EQ(HostRegistry_DeleteValue("top", "@"), 0);
  EXPECT_EQ(HostRegistry_DeleteValue("top", "@"), ENOENT);
  ASSERT_EQ(HostRegistry_SetString("Top", "v", HOSTREG_SZ, "x"), 0);
  EXPECT_EQ(HostRegistry_DeleteKey("Top"), 0);
  EXPECT_EQ(HostRegistry_KeyExists("Top"), ENOENT);
  EXPECT_EQ(HostRegistry_DeleteKey(""), EINVAL);
  EXPECT_TRUE(fs::is_directory(hklm_));
}

}  // namespace
