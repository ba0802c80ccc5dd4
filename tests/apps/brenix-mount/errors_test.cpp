// Texts of the front end's errors: HRESULT formatting, the description
// fallbacks, and the three forms of ApiException.
#include "errors.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "com/errorInfo.h"
#include "com/hresult.h"
#include "host/lastError.h"
#include "host/prefix.h"
#include "host/system.h"
#include "misc/panic.h"
#include "testSupport.h"

namespace {

ComError WithDescription(HRESULT hr, const char16_t *description) {
  IErrorInfo *info = nullptr;
  GUID none{};
  EXPECT_EQ(Com_CreateErrorInfo(description, u"test", none, &info), S_OK);
  return ComError(hr, info);
}

TEST(HexHResult, LowerCaseWithoutPrefixOrLeadingZeros) {
  EXPECT_EQ(HexHResult(E_POINTER), "80004003");
  EXPECT_EQ(HexHResult(0x0000abcd), "abcd");
  EXPECT_EQ(HexHResult(0), "0");
}

TEST(ComErrorDescription, PrefersTheErrorInformation) {
  EXPECT_EQ(ComErrorDescription(WithDescription(E_FAIL, u"Access denied by policy")),
            "Access denied by policy");
}

TEST(ComErrorDescription, FallsBackToTheHostText) {
  std::string expected;
  ASSERT_TRUE(Com_HResultText(E_POINTER, &expected));
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(ComErrorDescription(ComError(E_POINTER)), expected);
  // An empty description counts as none.
  EXPECT_EQ(ComErrorDescription(WithDescription(E_POINTER, u"")), expected);
}

TEST(ComErrorDescription, CodesWithoutText) {
  EXPECT_EQ(ComErrorDescription(ComError(COM_HRESULT(0x8004020Bu))), "IDispatch error #11");
  EXPECT_EQ(ComErrorDescription(ComError(COM_HRESULT(0x8004FFFFu))), "IDispatch error #65023");
  // 0x80040200 itself is outside the IDispatch range.
  EXPECT_EQ(ComErrorDescription(ComError(COM_HRESULT(0x80040200u))), "Unknown error 0x80040200");
  EXPECT_EQ(ComErrorDescription(ComError(COM_HRESULT(0x8123ABCDu))), "Unknown error 0x8123ABCD");
}

TEST(ComErrorDescription, UnconvertibleDescriptionFallsBack) {
  const char16_t lone[] = {0xD800, 0};  // an unpaired surrogate converts to nothing
  EXPECT_EQ(ComErrorDescription(WithDescription(COM_HRESULT(0x8004020Bu), lone)),
            "IDispatch error #11");
}

TEST(BstrToString, NullFailsEmptyGivesEmpty) {
  EXPECT_THROW(BstrToString(nullptr), ApiException);
  BSTR empty = SysAllocString(u"");
  EXPECT_EQ(BstrToString(empty), "");
  SysFreeString(empty);
  BSTR text = SysAllocString(u"id=1 file=\"/vms/d.bxdk\"");
  EXPECT_EQ(BstrToString(text), "id=1 file=\"/vms/d.bxdk\"");
  SysFreeString(text);
  try {
    BstrToString(nullptr);
  } catch (const ApiException &e) {
    EXPECT_NE(std::string(e.what()).find(" at apps/brenix-mount/brenixMount:"), std::string::npos)
        << e.what();
  }
}

TEST(ApiException, ThreeForms) {
  int notFound = Host_ErrorCode(HOST_ERROR_NOT_FOUND);
  EXPECT_STREQ(ApiException(notFound, "lib/x/y", 42).what(),
               "No such file or directory at lib/x/y:42");
  Host_SetLastError(notFound);
  EXPECT_STREQ(ApiException("apps/a/b", 7).what(), "No such file or directory at apps/a/b:7");
  Host_SetLastError(notFound);
  EXPECT_STREQ(ApiException(std::string("while reading /vms/a.bxx"), "apps/a/b", 9).what(),
               "No such file or directory at apps/a/b:9 while reading /vms/a.bxx");
}

}  // namespace

namespace {

void StopAsNotImplemented() {
  static const char *const argv[] = {"brenix-mount", "E:"};
  HostSystem_SetArgs(2, argv);
  InstallErrorReporting();
  free(HostPrefix_Ensure());
  Panic("NOT_IMPLEMENTED %s:%d\n", "apps/brenix-mount/commands", 12);
}

// A fatal stop prints only the unexpected-error text, records the fatal text
// under 0xE0000003 with two insertion strings, and exits with 3.
TEST(FatalStop, PrintsRecordsAndExitsThree) {
  testsupport::TempDir dir;
  setenv("BRENIX_HOST_PREFIX", (dir.path() + "/host").c_str(), 1);
  EXPECT_EXIT(StopAsNotImplemented(), ::testing::ExitedWithCode(3), "");
  std::string log = testsupport::ReadFile(dir.path() + "/host/eventlog/Application.jsonl");
  EXPECT_NE(log.find("\"eventIdHex\":\"0xE0000003\""), std::string::npos) << log;
  EXPECT_NE(log.find("\"strings\":[\"brenix-mount E:\",\"NOT_IMPLEMENTED "
                     "apps/brenix-mount/commands:12\\n\"]"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("(%3)\\r\\n"), std::string::npos) << log;
  unsetenv("BRENIX_HOST_PREFIX");
}

}  // namespace
