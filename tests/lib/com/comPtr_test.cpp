// The smart references on objects of this process. Which error information
// a failed call's ComError carries: rpc_test, here and through proxies.
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

TEST(ComPtrTest, EmptyHoldersAndSuccessesPassThrough) {
  ComError e = fake::Thrown([] { Com_RaiseCallError(E_POINTER, nullptr, IID_IMountLocator); });
  EXPECT_EQ(e.Error(), E_POINTER);
  EXPECT_EQ(e.ErrorInfo(), nullptr);
  ComPtr<IMountList> empty;
  EXPECT_EQ(empty.Check(S_FALSE), S_FALSE);
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
  EXPECT_EQ(fake::Thrown([&] { null.ToBStr(); }).Error(), DISP_E_TYPEMISMATCH);
}

}  // namespace
