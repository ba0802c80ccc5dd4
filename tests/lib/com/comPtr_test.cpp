// The smart reference and the rule that decides whether a failed call's
// ComError carries error information, on objects of this process.
#include "com/comPtr.h"

#include <gtest/gtest.h>

#include "fakeService.h"

namespace {

using fake::Ctl;

uint32_t Refs(IUnknown *p) {
  p->AddRef();
  return p->Release();
}

TEST(ComPtrTest, ReferencesAreCountedOnEveryPath) {
  Ctl().Reset();
  IDiskVolume *raw = new fake::Volume(9);
  {
    ComPtr<IDiskVolume> a = ComPtr<IDiskVolume>::Attach(raw);  // takes over
    ComPtr<IDiskVolume> b = a;                                 // copy adds
    ComPtr<IDiskVolume> c(std::move(b));                       // move does not
    EXPECT_FALSE(b);
    a = c;  // self-assignment through another holder
    EXPECT_EQ(Refs(raw), 2u);
    try {
      ComPtr<IDiskVolume> d(raw);  // shares
      EXPECT_EQ(Refs(raw), 3u);
      throw 1;
    } catch (int) {
    }
    IDiskVolume *out = c.Detach();
    EXPECT_EQ(Refs(raw), 2u);
    c = ComPtr<IDiskVolume>::Attach(out);

    ComPtr<IUnknown> unknown = ComPtr<IUnknown>::Attach(fake::CreateLocator());
    ComPtr<IMountLocator> locator;
    ASSERT_EQ(locator.QueryFrom(unknown.Get()), S_OK);
    ComPtr<IMountManager> manager;
    locator.Check(locator->Connect(nullptr, nullptr, 0, manager.Receive()));
    // Receiving again releases the previous object first.
    locator.Check(locator->Connect(nullptr, nullptr, 0, manager.Receive()));
    EXPECT_EQ(Refs(manager.Get()), 1u);
    EXPECT_EQ(Ctl().live, 3);
    ComPtr<IMount> wrong;
    EXPECT_EQ(wrong.QueryFrom(unknown.Get()), E_NOINTERFACE);
    EXPECT_FALSE(wrong);
    EXPECT_EQ(wrong.QueryFrom(static_cast<IUnknown *>(nullptr)), E_POINTER);
  }
  EXPECT_EQ(Ctl().live, 0);
}

// Each condition of attaching error information, and a failure that has
// none. The information is taken from the thread, not copied.
TEST(ComPtrTest, ErrorInformationIsAttachedOnlyWhenItBelongsToTheCall) {
  const struct {
    bool withInfo, supportsInfo;
    bool asAnotherInterface;  // raised as a failure of IMount
    bool attached, leftBehind;
  } kCases[] = {
      {true, true, false, true, false},
      {true, false, false, false, true},
      {true, true, true, false, true},
      {false, true, false, false, false},
  };
  auto locator = ComPtr<IMountLocator>::Attach(new fake::Locator());
  for (const auto &c : kCases) {
    SetErrorInfo(0, nullptr);
    Ctl().Reset();
    Ctl().failWith = E_FAIL;
    Ctl().withInfo = c.withInfo;
    Ctl().supportsInfo = c.supportsInfo;
    HRESULT hr = locator->Connect(nullptr, nullptr, 0, nullptr);
    try {
      c.asAnotherInterface ? Com_RaiseCallError(hr, locator.Get(), IID_IMount)
                           : (void)locator.Check(hr);
      FAIL() << "no exception";
    } catch (const ComError &e) {
      EXPECT_EQ(e.Error(), E_FAIL);
      EXPECT_EQ(e.ErrorInfo() != nullptr, c.attached) << c.withInfo << c.supportsInfo;
      if (c.attached) {
        EXPECT_EQ(std::u16string(e.Description().Get()), u"Access denied by policy");
      }
    }
    IErrorInfo *left = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &left) == S_OK, c.leftBehind);
    if (left != nullptr) left->Release();
  }
  try {
    Com_RaiseCallError(E_POINTER, nullptr, IID_IMountLocator);
  } catch (const ComError &e) {
    EXPECT_EQ(e.ErrorInfo(), nullptr);
  }
  EXPECT_EQ(locator.Check(S_FALSE), S_FALSE);
  ComPtr<IMountList> empty;
  int32_t count;
  EXPECT_THROW(empty->Count(&count), ComError);
}

TEST(ComPtrTest, VariantToText) {
  ComVariant text;
  VARIANT *v = text.Receive();
  v->vt = VT_BSTR;
  v->bstrVal = SysAllocString(u"id=3");
  EXPECT_EQ(std::u16string(text.ToBStr().Get()), u"id=3");
  EXPECT_EQ(text.Get().vt, VT_BSTR);  // still owned by the holder
  ComVariant null;
  null.Receive()->vt = VT_NULL;
  try {
    null.ToBStr();
    FAIL();
  } catch (const ComError &e) {
    EXPECT_EQ(e.Error(), DISP_E_TYPEMISMATCH);
  }
}

}  // namespace
