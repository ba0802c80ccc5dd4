// BSTR: the runtime's string, UTF-16 (char16_t) with its length in bytes
// stored in the four bytes before the first character and a terminating
// zero. A null BSTR is a valid empty string for every reader. BStr is the
// front end's owner of one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

typedef char16_t OLECHAR;
typedef OLECHAR *BSTR;

// Returns a new BSTR copying the zero-terminated text; NULL for a NULL text or
// when memory runs out.
BSTR SysAllocString(const OLECHAR *text);
// Returns a new BSTR of length characters copied from text (zero-filled when
// text is NULL); NULL when memory runs out.
BSTR SysAllocStringLen(const OLECHAR *text, uint32_t length);
// Accepts NULL.
void SysFreeString(BSTR bstr);
// Length in characters / bytes; 0 for NULL.
uint32_t SysStringLen(BSTR bstr);
uint32_t SysStringByteLen(BSTR bstr);

// Text conversions. They fail (false, output untouched) on text that is not
// well-formed in its encoding or has a character the target lacks.
bool Com_Utf8ToUtf16(const char *bytes, size_t length, std::u16string *out);
bool Com_Utf16ToUtf8(const char16_t *chars, size_t length, std::string *out);
// Between the current code page and a new BSTR / a narrow string. A NULL
// text gives a NULL BSTR; a NULL BSTR gives "".
bool Com_StringToBstr(const char *text, BSTR *out);
bool Com_BstrToString(BSTR bstr, std::string *out);

// Sole owner of a BSTR, moved and never copied (Copy makes a second string).
// A default holder is null. The constructors throw ComError (E_OUTOFMEMORY;
// E_INVALIDARG for narrow text that is not valid in the current code page).
class BStr {
 public:
  BStr() = default;
  BStr(const char16_t *text);
  BStr(const char *text);
  BStr(BStr &&other) noexcept : bstr_(other.bstr_) { other.bstr_ = nullptr; }
  BStr &operator=(BStr &&other) noexcept;
  ~BStr() { SysFreeString(bstr_); }

  // Takes ownership of bstr (may be NULL).
  static BStr Attach(BSTR bstr);

  // The string (NULL for a null holder); owned by the holder.
  BSTR Get() const { return bstr_; }
  uint32_t Length() const { return SysStringLen(bstr_); }
  bool IsNull() const { return bstr_ == nullptr; }
  // Returns a new BSTR the caller owns (NULL for a null holder); throws
  // ComError(E_OUTOFMEMORY).
  BSTR Copy() const;
  // The text in the current code page; false when it cannot be converted.
  bool ToString(std::string *out) const;

 private:
  BSTR bstr_ = nullptr;
};
