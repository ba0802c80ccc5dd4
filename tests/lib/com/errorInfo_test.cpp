// Error information: what the object holds, the per-thread slot that reading
// empties, and ComError sharing the object across copies. The slot's own
// references are checked by the sanitizer build, through every failing call
// of rpc_test.
#include "com/errorInfo.h"

#include <thread>

#include <gtest/gtest.h>

#include "com/comError.h"

namespace {

IErrorInfo *Make(const char16_t *description) {
  IErrorInfo *info = nullptr;
  EXPECT_EQ(Com_CreateErrorInfo(description, u"MountService", IID_IErrorInfo, &info), S_OK);
  return info;
}

TEST(ErrorInfoTest, ReadingConsumesTheThreadsInformation) {
  IErrorInfo *info = Make(u"Access denied by policy");
  ASSERT_EQ(SetErrorInfo(0, info), S_OK);
  info->Release();  // the slot keeps its own reference

  // Another thread sees nothing.
  std::thread([] {
    IErrorInfo *other = reinterpret_cast<IErrorInfo *>(1);
    EXPECT_EQ(GetErrorInfo(0, &other), S_FALSE);
    EXPECT_EQ(other, nullptr);
  }).join();

  IErrorInfo *got = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &got), S_OK);
  ASSERT_NE(got, nullptr);  // its values: ComErrorTest
  void *unknown = nullptr;
  EXPECT_EQ(got->QueryInterface(IID_IUnknown, &unknown), S_OK);
  EXPECT_EQ(got->Release(), 1u);  // the QueryInterface reference remains
  EXPECT_EQ(static_cast<IErrorInfo *>(unknown)->Release(), 0u);

  IErrorInfo *again = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &again), S_FALSE);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(GetErrorInfo(0, nullptr), E_POINTER);
}

TEST(ComErrorTest, CopiesShareTheInformation) {
  IErrorInfo *info = Make(u"The drive is already in use.");
  SetErrorInfo(0, info);
  info->Release();
  ComError copy(S_OK);
  try {
    Com_IssueError(COM_HRESULT(0x80040201u));
  } catch (const ComError &e) {
    copy = e;
    EXPECT_EQ(copy.ErrorInfo(), e.ErrorInfo());
  }
  // The thrown object is gone; the copy still holds the information.
  EXPECT_EQ(copy.Error(), COM_HRESULT(0x80040201u));
  EXPECT_EQ(std::u16string(copy.Description().Get()), u"The drive is already in use.");
  EXPECT_EQ(std::u16string(copy.Source().Get()), u"MountService");
  EXPECT_EQ(copy.Guid(), IID_IErrorInfo);
  IErrorInfo *left = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE);  // issuing took it out of the slot

  IErrorInfo *bare = nullptr;
  ASSERT_EQ(Com_CreateErrorInfo(nullptr, nullptr, GUID_NULL, &bare), S_OK);
  ComError withoutText(E_FAIL, bare);
  EXPECT_TRUE(withoutText.Description().IsNull());
}

}  // namespace
