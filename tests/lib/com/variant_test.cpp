// VARIANT: what clearing releases, what copying duplicates, and the
// conversions, including the failures that must leave the destination as it
// was.
#include "com/variant.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// Counts its references; never freed by Release (it lives on the stack).
struct Counted : IUnknown {
  uint32_t refs = 1;
  HRESULT QueryInterface(const IID &, void **) override { return E_NOINTERFACE; }
  uint32_t AddRef() override { return ++refs; }
  uint32_t Release() override { return --refs; }
};

VARIANT Text(const char16_t *text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}

VARIANT Number(VARTYPE vt, int64_t value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  if (vt == VT_I2) v.iVal = static_cast<int16_t>(value);
  if (vt == VT_I4) v.lVal = static_cast<int32_t>(value);
  if (vt == VT_I8) v.llVal = value;
  if (vt == VT_BOOL) v.boolVal = static_cast<VARIANT_BOOL>(value);
  return v;
}

std::u16string AsText(const VARIANT &v) {
  EXPECT_EQ(v.vt, VT_BSTR);
  return v.vt == VT_BSTR ? std::u16string(v.bstrVal, SysStringLen(v.bstrVal)) : u"";
}

TEST(VariantTest, ClearReleasesWhatItOwns) {
  Counted object;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = &object;
  object.AddRef();
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(object.refs, 1u);
  EXPECT_EQ(v.vt, VT_EMPTY);

  VARIANT text = Text(u"freed by clear");  // the sanitizer build sees a leak otherwise
  EXPECT_EQ(VariantClear(&text), S_OK);
  EXPECT_EQ(text.vt, VT_EMPTY);

  VARIANT odd;
  VariantInit(&odd);
  odd.vt = 0x4711;
  EXPECT_EQ(VariantClear(&odd), COM_HRESULT(0x80020008u));
  EXPECT_EQ(odd.vt, 0x4711);
}

TEST(VariantTest, CopyIsDeep) {
  VARIANT src = Text(u"a\0b");
  SysFreeString(src.bstrVal);
  src.bstrVal = SysAllocStringLen(u"a\0b", 3);  // embedded zero survives
  VARIANT dest = Number(VT_I4, 5);
  ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
  EXPECT_NE(dest.bstrVal, src.bstrVal);
  EXPECT_EQ(AsText(dest), std::u16string(u"a\0b", 3));
  VariantClear(&src);
  EXPECT_EQ(AsText(dest), std::u16string(u"a\0b", 3));
  VariantClear(&dest);

  Counted object;
  VARIANT unk;
  VariantInit(&unk);
  unk.vt = VT_UNKNOWN;
  unk.punkVal = &object;
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &unk), S_OK);
  EXPECT_EQ(object.refs, 2u);
  VariantClear(&copy);
  EXPECT_EQ(object.refs, 1u);
  EXPECT_EQ(VariantCopy(&unk, &unk), S_OK);
  EXPECT_EQ(object.refs, 1u);
}

TEST(VariantTest, ToText) {
  struct Case {
    VARIANT v;
    const char16_t *text;
  } cases[] = {
      {Number(VT_I4, -2147483647 - 1), u"-2147483648"}, {Number(VT_I2, 12), u"12"},
      {Number(VT_I8, 8589934592LL), u"8589934592"},     {Number(VT_BOOL, VARIANT_TRUE), u"True"},
      {Number(VT_BOOL, VARIANT_FALSE), u"False"},       {Number(VT_EMPTY, 0), u""},
  };
  for (Case &c : cases) {
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(VariantChangeType(&out, &c.v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(AsText(out), c.text);
    VariantClear(&out);
  }
  // In place.
  VARIANT v = Number(VT_I4, 42);
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(AsText(v), u"42");
  VariantClear(&v);
}

TEST(VariantTest, FromTextAndBetweenNumbers) {
  VARIANT out;
  VariantInit(&out);
  VARIANT text = Text(u" -17 ");
  ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_I4), S_OK);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, -17);
  VariantClear(&text);

  text = Text(u"tRUE");
  ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);
  VariantClear(&text);

  VARIANT big = Number(VT_I8, 1LL << 40);
  EXPECT_EQ(VariantChangeType(&out, &big, 0, VT_I4), DISP_E_OVERFLOW);
  VARIANT wide = Number(VT_I4, 40000);
  EXPECT_EQ(VariantChangeType(&out, &wide, 0, VT_I2), DISP_E_OVERFLOW);
  text = Text(u"99999999999999999999");
  EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I8), DISP_E_OVERFLOW);
  VariantClear(&text);
  text = Text(u"9223372036854775808");
  EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I8), DISP_E_OVERFLOW);
  VariantClear(&text);
  VARIANT low;
  VariantInit(&low);
  text = Text(u"-9223372036854775808");
  ASSERT_EQ(VariantChangeType(&low, &text, 0, VT_I8), S_OK);
  EXPECT_EQ(low.llVal, INT64_MIN);
  VariantClear(&text);
  text = Text(u"+42");
  ASSERT_EQ(VariantChangeType(&low, &text, 0, VT_I8), S_OK);
  EXPECT_EQ(low.llVal, 42);
  VariantClear(&text);
  for (const char16_t *bad : {u"-", u"+-5", u"--5", u"5-", u"1 2"}) {
    text = Text(bad);
    EXPECT_EQ(VariantChangeType(&low, &text, 0, VT_I8), DISP_E_TYPEMISMATCH);
    VariantClear(&text);
  }
  // Failures leave the destination alone.
  EXPECT_EQ(out.vt, VT_BOOL);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);
}

TEST(VariantTest, Mismatches) {
  VARIANT out = Number(VT_I4, 3);
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  VARIANT error;
  VariantInit(&error);
  error.vt = VT_ERROR;
  error.scode = E_FAIL;
  EXPECT_EQ(VariantChangeType(&out, &error, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  VARIANT text = Text(u"12abc");
  EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I4), DISP_E_TYPEMISMATCH);
  VariantClear(&text);
  text = Text(u"\u0661");  // not an ASCII digit
  EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I4), DISP_E_TYPEMISMATCH);
  VariantClear(&text);
  Counted object;
  VARIANT unk;
  VariantInit(&unk);
  unk.vt = VT_UNKNOWN;
  unk.punkVal = &object;
  EXPECT_EQ(VariantChangeType(&out, &unk, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(object.refs, 1u);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, 3);
}

}  // namespace
