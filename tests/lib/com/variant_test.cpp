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

VARIANT Make(VARTYPE vt, int64_t value = 0, const char16_t *text = nullptr, size_t length = 0) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  if (vt == VT_I2) v.iVal = static_cast<int16_t>(value);
  if (vt == VT_I4 || vt == VT_ERROR) v.lVal = static_cast<int32_t>(value);
  if (vt == VT_I8) v.llVal = value;
  if (vt == VT_BOOL) v.boolVal = static_cast<VARIANT_BOOL>(value);
  if (vt == VT_BSTR) {
    v.bstrVal =
        length != 0 ? SysAllocStringLen(text, static_cast<uint32_t>(length)) : SysAllocString(text);
  }
  return v;
}
VARIANT Text(const char16_t *text) { return Make(VT_BSTR, 0, text); }

std::u16string AsText(const VARIANT &v) {
  EXPECT_EQ(v.vt, VT_BSTR);
  return v.vt == VT_BSTR ? std::u16string(v.bstrVal, SysStringLen(v.bstrVal)) : u"";
}

TEST(VariantTest, ClearReleasesAndCopyDuplicates) {
  Counted object;
  VARIANT unk = Make(VT_UNKNOWN);
  unk.punkVal = &object;
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &unk), S_OK);
  EXPECT_EQ(object.refs, 2u);
  EXPECT_EQ(VariantCopy(&unk, &unk), S_OK);
  EXPECT_EQ(object.refs, 2u);
  EXPECT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(object.refs, 1u);
  EXPECT_EQ(copy.vt, VT_EMPTY);

  VARIANT src = Make(VT_BSTR, 0, u"a\0b", 3);  // embedded zero survives
  VARIANT dest = Make(VT_I4, 5);
  ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
  EXPECT_NE(dest.bstrVal, src.bstrVal);
  VariantClear(&src);  // the sanitizer build sees a leak or a double free otherwise
  EXPECT_EQ(AsText(dest), std::u16string(u"a\0b", 3));
  VariantClear(&dest);

  VARIANT odd = Make(0x4711);
  EXPECT_EQ(VariantClear(&odd), DISP_E_BADVARTYPE);
  EXPECT_EQ(odd.vt, 0x4711);
}

// The outcome of converting src to vt as text: the failure, or type and
// value. A failure that touched the destination says so.
std::string Convert(VARIANT src, VARTYPE vt) {
  VARIANT out = Make(VT_I4, 3);
  HRESULT hr = VariantChangeType(&out, &src, 0, vt);
  std::string shown = hr == DISP_E_OVERFLOW       ? "overflow"
                      : hr == DISP_E_TYPEMISMATCH ? "mismatch"
                                                  : "";
  if (FAILED(hr) && (out.vt != VT_I4 || out.lVal != 3)) shown += ", destination changed";
  if (SUCCEEDED(hr) && out.vt == VT_BSTR) {
    for (char16_t c : AsText(out)) shown.push_back(static_cast<char>(c));
  } else if (SUCCEEDED(hr)) {
    int64_t value = out.vt == VT_I2     ? out.iVal
                    : out.vt == VT_I4   ? out.lVal
                    : out.vt == VT_BOOL ? out.boolVal
                                        : out.llVal;
    shown = "vt " + std::to_string(out.vt) + ": " + std::to_string(value);
  }
  VariantClear(&src);
  VariantClear(&out);
  return shown;
}

TEST(VariantTest, Conversions) {
  const struct {
    VARIANT src;
    VARTYPE to;
    const char *outcome;
  } kCases[] = {
      {Make(VT_I4, INT32_MIN), VT_BSTR, "-2147483648"},
      {Make(VT_I2, 12), VT_BSTR, "12"},
      {Make(VT_I8, 8589934592LL), VT_BSTR, "8589934592"},
      {Make(VT_BOOL, VARIANT_TRUE), VT_BSTR, "True"},
      {Make(VT_BOOL, VARIANT_FALSE), VT_BSTR, "False"},
      {Make(VT_EMPTY), VT_BSTR, ""},
      {Text(u" -17 "), VT_I4, "vt 3: -17"},
      {Text(u"tRUE"), VT_BOOL, "vt 11: -1"},
      {Text(u"-9223372036854775808"), VT_I8, "vt 20: -9223372036854775808"},
      {Text(u"+42"), VT_I8, "vt 20: 42"},
      {Make(VT_I8, 1LL << 40), VT_I4, "overflow"},
      {Make(VT_I4, 40000), VT_I2, "overflow"},
      {Text(u"99999999999999999999"), VT_I8, "overflow"},
      {Text(u"9223372036854775808"), VT_I8, "overflow"},
      {Text(u"-"), VT_I8, "mismatch"},
      {Text(u"+-5"), VT_I8, "mismatch"},
      {Text(u"--5"), VT_I8, "mismatch"},
      {Text(u"5-"), VT_I8, "mismatch"},
      {Text(u"1 2"), VT_I8, "mismatch"},
      {Text(u"12abc"), VT_I4, "mismatch"},
      {Text(u"\u0661"), VT_I4, "mismatch"},  // not an ASCII digit
      {Make(VT_NULL), VT_BSTR, "mismatch"},
      {Make(VT_ERROR, E_FAIL), VT_BSTR, "mismatch"},
  };
  for (const auto &c : kCases) {
    EXPECT_EQ(Convert(c.src, c.to), c.outcome) << c.src.vt << " to " << c.to;
  }
  Counted object;
  VARIANT unk = Make(VT_UNKNOWN);
  unk.punkVal = &object;
  object.AddRef();  // for Convert's clear
  EXPECT_EQ(Convert(unk, VT_BSTR), "mismatch");
  EXPECT_EQ(object.refs, 1u);
  // In place.
  VARIANT v = Make(VT_I4, 42);
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(AsText(v), u"42");
  VariantClear(&v);
}

}  // namespace
