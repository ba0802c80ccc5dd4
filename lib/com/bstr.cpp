// BSTR allocation and the text conversions around it. The length prefix is
// kept so a BSTR may hold zeros and its length is known without scanning;
// conversions refuse malformed text rather than substitute characters, since
// the strings are often file paths.
#include "com/bstr.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "com/comError.h"
#include "misc/codeset.h"

namespace {

const uint32_t kMaxChars = (0xFFFFFFFFu - 8) / 2;

uint32_t *Header(BSTR bstr) { return reinterpret_cast<uint32_t *>(bstr) - 1; }

}  // namespace

BSTR SysAllocStringLen(const OLECHAR *text, uint32_t length) {
  if (length > kMaxChars) {
    return nullptr;
  }
  size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
  void *block = malloc(sizeof(uint32_t) + bytes + sizeof(OLECHAR));
  if (block == nullptr) {
    return nullptr;
  }
  *static_cast<uint32_t *>(block) = static_cast<uint32_t>(bytes);
  BSTR bstr = reinterpret_cast<BSTR>(static_cast<uint32_t *>(block) + 1);
  if (text != nullptr) {
    memcpy(bstr, text, bytes);
  } else {
    memset(bstr, 0, bytes);
  }
  bstr[length] = 0;
  return bstr;
}

BSTR SysAllocString(const OLECHAR *text) {
  if (text == nullptr) {
    return nullptr;
  }
  return SysAllocStringLen(text, static_cast<uint32_t>(std::char_traits<char16_t>::length(text)));
}

void SysFreeString(BSTR bstr) {
  if (bstr != nullptr) {
    free(Header(bstr));
  }
}

uint32_t SysStringByteLen(BSTR bstr) { return bstr != nullptr ? *Header(bstr) : 0; }

uint32_t SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(OLECHAR); }

bool Com_Utf8ToUtf16(const char *bytes, size_t length, std::u16string *out) {
  std::u16string result;
  const unsigned char *s = reinterpret_cast<const unsigned char *>(bytes);
  for (size_t i = 0; i < length;) {
    unsigned char c = s[i];
    uint32_t cp;
    size_t len;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F;
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F;
      len = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07;
      len = 4;
    } else {
      return false;
    }
    if (length - i < len) {
      return false;
    }
    for (size_t k = 1; k < len; k++) {
      if ((s[i + k] & 0xC0) != 0x80) {
        return false;
      }
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      result.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      result.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      result.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  *out = std::move(result);
  return true;
}

bool Com_Utf16ToUtf8(const char16_t *chars, size_t length, std::string *out) {
  std::string result;
  for (size_t i = 0; i < length; i++) {
    uint32_t cp = chars[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= length || chars[i + 1] < 0xDC00 || chars[i + 1] > 0xDFFF) {
        return false;
      }
      cp = 0x10000 + ((cp - 0xD800) << 10) + (chars[i + 1] - 0xDC00u);
      i++;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    if (cp < 0x80) {
      result.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      result.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      result.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      result.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      result.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      result.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      result.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  *out = std::move(result);
  return true;
}

bool Com_StringToBstr(const char *text, BSTR *out) {
  if (text == nullptr) {
    *out = nullptr;
    return true;
  }
  char *utf8 = nullptr;
  size_t length = 0;
  if (!CodeSet_CurrentToUtf8(text, strlen(text), &utf8, &length)) {
    return false;
  }
  std::u16string wide;
  bool ok = Com_Utf8ToUtf16(utf8, length, &wide);
  free(utf8);
  if (!ok || wide.size() > kMaxChars) {
    return false;
  }
  BSTR bstr = SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
  if (bstr == nullptr) {
    return false;
  }
  *out = bstr;
  return true;
}

bool Com_BstrToString(BSTR bstr, std::string *out) {
  std::string utf8;
  if (!Com_Utf16ToUtf8(bstr, SysStringLen(bstr), &utf8)) {
    return false;
  }
  char *current = nullptr;
  size_t length = 0;
  if (!CodeSet_Utf8ToCurrent(utf8.data(), utf8.size(), &current, &length)) {
    return false;
  }
  out->assign(current, length);
  free(current);
  return true;
}

BStr::BStr(const char16_t *text) {
  if (text != nullptr) {
    bstr_ = SysAllocString(text);
    if (bstr_ == nullptr) {
      throw ComError(E_OUTOFMEMORY);
    }
  }
}

BStr::BStr(const char *text) {
  if (text != nullptr && !Com_StringToBstr(text, &bstr_)) {
    throw ComError(E_INVALIDARG);
  }
}

BStr &BStr::operator=(BStr &&other) noexcept {
  std::swap(bstr_, other.bstr_);
  return *this;
}

BStr BStr::Attach(BSTR bstr) {
  BStr holder;
  holder.bstr_ = bstr;
  return holder;
}

BSTR BStr::Copy() const {
  BSTR bstr = Get();
  if (bstr == nullptr) {
    return nullptr;
  }
  BSTR copy = SysAllocStringLen(bstr, SysStringLen(bstr));
  if (copy == nullptr) {
    throw ComError(E_OUTOFMEMORY);
  }
  return copy;
}

bool BStr::ToString(std::string *out) const { return Com_BstrToString(Get(), out); }
