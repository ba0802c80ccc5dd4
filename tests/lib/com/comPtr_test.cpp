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

class ComPtrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Ctl().Reset();
    SetErrorInfo(0, nullptr);
  }
};

TEST_F(ComPtrTest, ReferencesAreCountedOnEveryPath) {
  IDiskVolume *raw = new fake::Volume(9);
  {
    ComPtr<IDiskVolume> a = ComPtr<IDiskVolume>::Attach(raw);  // takes over
    EXPECT_EQ(Refs(raw), 1u);
    ComPtr<IDiskVolume> b = a;  // copy adds
    EXPECT_EQ(Refs(raw), 2u);
    ComPtr<IDiskVolume> c(std::move(b));  // move does not
    EXPECT_FALSE(b);
    EXPECT_EQ(Refs(raw), 2u);
    a = c;  // self-assignment through another holder
    EXPECT_EQ(Refs(raw), 2u);
    try {
      ComPtr<IDiskVolume> d(raw);  // shares
      EXPECT_EQ(Refs(raw), 3u);
      throw 1;
    } catch (int) {
    }
    EXPECT_EQ(Refs(raw), 2u);
    IDiskVolume *out = c.Detach();
    EXPECT_EQ(Refs(raw), 2u);
    c = ComPtr<IDiskVolume>::Attach(out);
  }
  EXPECT_EQ(Ctl().live, 0);
}

TEST_F(ComPtrTest, OutParametersAreTakenOver) {
  ComPtr<IUnknown> unknown = ComPtr<IUnknown>::Attach(fake::CreateLocator());
  ComPtr<IMountLocator> locator;
  ASSERT_EQ(locator.QueryFrom(unknown.Get()), S_OK);
  ComPtr<IMountManager> manager;
  BStr empty(u"");
  locator.Check(locator->Connect(empty.Get(), empty.Get(), 0, manager.Receive()));
  EXPECT_EQ(Refs(manager.Get()), 1u);
  // Receiving again releases the previous object first.
  locator.Check(locator->Connect(empty.Get(), empty.Get(), 0, manager.Receive()));
  EXPECT_EQ(Ctl().live, 2);
  ComPtr<IMount> wrong;
  EXPECT_EQ(wrong.QueryFrom(unknown.Get()), E_NOINTERFACE);
  EXPECT_FALSE(wrong);
  EXPECT_EQ(wrong.QueryFrom(static_cast<IUnknown *>(nullptr)), E_POINTER);
}

TEST_F(ComPtrTest, AnEmptyReferenceRaisesEPointer) {
  ComPtr<IMountList> empty;
  try {
    int32_t count;
    empty->Count(&count);
    FAIL() << "no exception";
  } catch (const ComError &e) {
    EXPECT_EQ(e.Error(), E_POINTER);
    EXPECT_EQ(e.ErrorInfo(), nullptr);
  }
}

// The three conditions of attaching error information, each one missing.
TEST_F(ComPtrTest, ErrorInformationIsAttachedOnlyWhenItBelongsToTheCall) {
  ComPtr<IMountLocator> locator;
  locator = ComPtr<IMountLocator>::Attach(new fake::Locator());
  Ctl().failWith = E_FAIL;

  Ctl().withInfo = true;
  try {
    ComPtr<IMountManager> manager;
    locator.Check(locator->Connect(nullptr, nullptr, 0, manager.Receive()));
    FAIL();
  } catch (const ComError &e) {
    ASSERT_NE(e.ErrorInfo(), nullptr);
    EXPECT_EQ(std::u16string(e.Description().Get()), u"Access denied by policy");
  }
  IErrorInfo *left = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE);  // taken, not copied

  // Supported for another interface only: the slot is not consulted.
  Ctl().supportsInfo = true;
  locator->Connect(nullptr, nullptr, 0, nullptr);
  try {
    Com_RaiseCallError(E_FAIL, locator.Get(), IID_IMount);
  } catch (const ComError &e) {
    EXPECT_EQ(e.ErrorInfo(), nullptr);
  }
  EXPECT_EQ(GetErrorInfo(0, &left), S_OK);
  left->Release();

  // Supported, but nothing in the slot.
  Ctl().withInfo = false;
  try {
    locator.Check(locator->Connect(nullptr, nullptr, 0, nullptr));
  } catch (const ComError &e) {
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(e.ErrorInfo(), nullptr);
  }

  // No object at all.
  try {
    Com_RaiseCallError(E_POINTER, nullptr, IID_IMountLocator);
  } catch (const ComError &e) {
    EXPECT_EQ(e.Error(), E_POINTER);
  }
  EXPECT_EQ(locator.Check(S_FALSE), S_FALSE);
}

TEST_F(ComPtrTest, VariantToText) {
  ComVariant text;
  VARIANT *v = text.Receive();
  v->vt = VT_BSTR;
  v->bstrVal = SysAllocString(u"id=3");
  EXPECT_EQ(std::u16string(text.ToBStr().Get()), u"id=3");
  EXPECT_EQ(text.Get().vt, VT_BSTR);  // still owned by the holder

  ComVariant number;
  v = number.Receive();
  v->vt = VT_I4;
  v->lVal = 12;
  EXPECT_EQ(std::u16string(number.ToBStr().Get()), u"12");

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
