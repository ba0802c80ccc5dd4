// Texts of the front end's errors: HRESULT formatting, the description
// fallbacks, and the three forms of ApiException.
#include "errors.h"

#include <cstdlib>
#include <string>
#include <utility>

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

// The error information's description, else the host's text, else the
// IDispatch range or the bare code; an empty or unconvertible description
// counts as none.
// The code is lower-case hex without prefix or leading zeros.
TEST(ComErrorTexts, CodeAndDescription) {
  EXPECT_EQ(HexHResult(E_POINTER), "80004003");
  EXPECT_EQ(HexHResult(0x0000abcd), "abcd");
  EXPECT_EQ(HexHResult(0), "0");
  std::string hostText;
  ASSERT_TRUE(Com_HResultText(E_POINTER, &hostText));
  EXPECT_FALSE(hostText.empty());
  const char16_t lone[] = {0xD800, 0};  // an unpaired surrogate converts to nothing
  const std::pair<ComError, std::string> cases[] = {
      {WithDescription(E_FAIL, u"Access denied by policy"), "Access denied by policy"},
      {ComError(E_POINTER), hostText},
      {WithDescription(E_POINTER, u""), hostText},
      {ComError(COM_HRESULT(0x8004020Bu)), "IDispatch error #11"},
      {ComError(COM_HRESULT(0x8004FFFFu)), "IDispatch error #65023"},
      {ComError(COM_HRESULT(0x80040200u)), "Unknown error 0x80040200"},  // outside the range
      {ComError(COM_HRESULT(0x8123ABCDu)), "Unknown error 0x8123ABCD"},
      {WithDescription(COM_HRESULT(0x8004020Bu), lone), "IDispatch error #11"},
  };
  for (const auto &[error, want] : cases) EXPECT_EQ(ComErrorDescription(error), want);
}

TEST(BstrToString, NullFailsEmptyGivesEmpty) {
  try {
    BstrToString(nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const ApiException &e) {
    EXPECT_NE(std::string(e.what()).find(" at apps/brenix-mount/brenixMount:"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(BstrToString(BStr(u"").Get()), "");
  EXPECT_EQ(BstrToString(BStr(u"id=1 file=\"/vms/d.bxdk\"").Get()), "id=1 file=\"/vms/d.bxdk\"");
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
  testsupport::ScopedEnv prefix("BRENIX_HOST_PREFIX", dir.path() + "/host");
  EXPECT_EXIT(StopAsNotImplemented(), ::testing::ExitedWithCode(3), "");
  std::string log = testsupport::ReadFile(dir.path() + "/host/eventlog/Application.jsonl");
  EXPECT_NE(log.find("\"eventIdHex\":\"0xE0000003\""), std::string::npos) << log;
  EXPECT_NE(log.find("\"strings\":[\"brenix-mount E:\",\"NOT_IMPLEMENTED "
                     "apps/brenix-mount/commands:12\\n\"]"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("(%3)\\r\\n"), std::string::npos) << log;
}

}  // namespace
