// VARIANT handling: clearing releases what the value owns, copying duplicates
// it, and conversions go through a temporary so that a failed conversion
// leaves the destination as it was and a destination equal to the source
// works. Conversions supported:
//   to VT_BSTR: from VT_EMPTY (""), VT_I2/VT_I4/VT_I8 (decimal), VT_BOOL
//     ("True"/"False") and VT_BSTR;
//   to VT_I2/VT_I4/VT_I8: from the integers, VT_BOOL (0/-1), VT_EMPTY (0)
//     and VT_BSTR holding a decimal number (blanks around it allowed);
//   to VT_BOOL: from the integers (non-zero is true), VT_EMPTY (false) and
//     VT_BSTR ("True"/"False" in any case, or a number);
//   to the source's own type: a copy.
// Anything else is DISP_E_TYPEMISMATCH; a number out of the target's range
// DISP_E_OVERFLOW.
#include "com/variant.h"
#include "host/text.h"

#include <charconv>
#include <climits>
#include <string>

bool Com_IsVariantType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_BSTR:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_I8:
      return true;
    default:
      return false;
  }
}

void VariantInit(VARIANT *v) {
  v->vt = VT_EMPTY;
  v->llVal = 0;
}

namespace {

HRESULT MakeBstr(const std::string &ascii, VARIANT *out) {
  std::u16string wide(ascii.begin(), ascii.end());
  BSTR s = SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
  if (s == nullptr) {
    return E_OUTOFMEMORY;
  }
  out->vt = VT_BSTR;
  out->bstrVal = s;
  return S_OK;
}

// The BSTR as plain ASCII, or false when it holds anything else (no number
// or keyword has other characters).
bool AsciiOf(BSTR s, std::string *out) {
  uint32_t n = SysStringLen(s);
  out->clear();
  for (uint32_t i = 0; i < n; i++) {
    if (s[i] == 0 || s[i] > 0x7F) {
      return false;
    }
    out->push_back(static_cast<char>(s[i]));
  }
  return true;
}

std::string Trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) {
    return "";
  }
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Parses an optionally signed decimal number that fits 64 bits.
HRESULT ParseDecimal(const std::string &text, int64_t *value) {
  size_t digits = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (digits == text.size() || text.find_first_not_of("0123456789", digits) != std::string::npos) {
    return DISP_E_TYPEMISMATCH;
  }
  // from_chars takes a "-" but no "+".
  const char *first = text.data() + (text[0] == '+' ? 1 : 0);
  std::errc error = std::from_chars(first, text.data() + text.size(), *value).ec;
  return error == std::errc::result_out_of_range ? DISP_E_OVERFLOW : S_OK;
}

// The value of an integer-like source as 64 bits.
HRESULT IntegerOf(const VARIANT *src, int64_t *value) {
  switch (src->vt) {
    case VT_EMPTY:
      *value = 0;
      return S_OK;
    case VT_I2:
      *value = src->iVal;
      return S_OK;
    case VT_I4:
      *value = src->lVal;
      return S_OK;
    case VT_I8:
      *value = src->llVal;
      return S_OK;
    case VT_BOOL:
      *value = src->boolVal != 0 ? -1 : 0;
      return S_OK;
    case VT_BSTR: {
      std::string text;
      if (!AsciiOf(src->bstrVal, &text)) {
        return DISP_E_TYPEMISMATCH;
      }
      text = Trim(text);
      if (text.empty()) {
        return DISP_E_TYPEMISMATCH;
      }
      return ParseDecimal(text, value);
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

HRESULT Convert(const VARIANT *src, VARTYPE vt, VARIANT *out) {
  VariantInit(out);
  if (vt == src->vt) {
    return VariantCopy(out, src);
  }
  int64_t value = 0;
  switch (vt) {
    case VT_BSTR:
      switch (src->vt) {
        case VT_EMPTY:
          return MakeBstr("", out);
        case VT_I2:
        case VT_I4:
        case VT_I8: {
          HRESULT hr = IntegerOf(src, &value);
          return FAILED(hr) ? hr : MakeBstr(std::to_string(value), out);
        }
        case VT_BOOL:
          return MakeBstr(src->boolVal != 0 ? "True" : "False", out);
        default:
          return DISP_E_TYPEMISMATCH;
      }
    case VT_BOOL: {
      if (src->vt == VT_BSTR) {
        std::string text;
        if (AsciiOf(src->bstrVal, &text)) {
          text = Trim(text);
          // AsciiOf refuses NUL, so the C string is the whole text.
          bool isTrue = HostText_EqualNoCase(text.c_str(), "true");
          if (isTrue || HostText_EqualNoCase(text.c_str(), "false")) {
            out->vt = VT_BOOL;
            out->boolVal = isTrue ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
          }
        }
      }
      HRESULT hr = IntegerOf(src, &value);
      if (FAILED(hr)) {
        return hr;
      }
      out->vt = VT_BOOL;
      out->boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
    case VT_I2:
    case VT_I4:
    case VT_I8: {
      HRESULT hr = IntegerOf(src, &value);
      if (FAILED(hr)) {
        return hr;
      }
      if (vt == VT_I2) {
        if (value < SHRT_MIN || value > SHRT_MAX) {
          return DISP_E_OVERFLOW;
        }
        out->iVal = static_cast<int16_t>(value);
      } else if (vt == VT_I4) {
        if (value < INT32_MIN || value > INT32_MAX) {
          return DISP_E_OVERFLOW;
        }
        out->lVal = static_cast<int32_t>(value);
      } else {
        out->llVal = value;
      }
      out->vt = vt;
      return S_OK;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

}  // namespace

HRESULT VariantClear(VARIANT *v) {
  if (v == nullptr) {
    return E_INVALIDARG;
  }
  if (!Com_IsVariantType(v->vt)) {
    return DISP_E_BADVARTYPE;
  }
  if (v->vt == VT_BSTR) {
    SysFreeString(v->bstrVal);
  } else if (v->vt == VT_UNKNOWN && v->punkVal != nullptr) {
    v->punkVal->Release();
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT *dest, const VARIANT *src) {
  if (dest == nullptr || src == nullptr) {
    return E_INVALIDARG;
  }
  if (dest == src) {
    return S_OK;
  }
  if (!Com_IsVariantType(src->vt)) {
    return DISP_E_BADVARTYPE;
  }
  VARIANT copy = *src;
  if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
    copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
    if (copy.bstrVal == nullptr) {
      return E_OUTOFMEMORY;
    }
  } else if (src->vt == VT_UNKNOWN && src->punkVal != nullptr) {
    src->punkVal->AddRef();
  }
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *dest = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANT *dest, const VARIANT *src, uint16_t, VARTYPE vt) {
  if (dest == nullptr || src == nullptr) {
    return E_INVALIDARG;
  }
  if (!Com_IsVariantType(src->vt)) {
    return DISP_E_BADVARTYPE;
  }
  VARIANT result;
  HRESULT hr = Convert(src, vt, &result);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  VariantClear(dest);
  *dest = result;
  return S_OK;
}
