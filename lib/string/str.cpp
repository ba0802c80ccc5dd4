// Bounded, strict and allocating string formatting. The allocating variant
// accepts positional arguments; it checks the format itself first, because
// the C library gives undefined results (or aborts, when fortified) for
// formats that mix numbered and unnumbered conversions or leave gaps.
#include "string/str.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/text.h"
#include "misc/dynbuf.h"
#include "misc/panic.h"

namespace {

[[noreturn]] void BufferTooSmall(void *caller) {
  Panic("%s:%d Buffer too small 0x%x\n", BRENIX_SOURCE, __LINE__,
        static_cast<unsigned>(reinterpret_cast<uintptr_t>(caller)));
}

// Far more arguments than any caller passes; bounds the per-argument table.
constexpr int kMaxArgs = 64;
// A literal width or precision beyond this only serves to exhaust memory.
constexpr long kMaxWidth = 65535;

bool IsFlag(char c) {
  return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\'';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The type class of one conversion, so that two uses of one numbered
// argument can be compared: the length prefix and the kind of value.
struct ArgClass {
  char length;  // 0, 'H' hh, 'h', 'l', 'q' ll, 'z', 'j', 't', 'L'
  char kind;    // 'i' integer, 'f' floating, 'p' pointer
  bool operator==(const ArgClass &o) const { return length == o.length && kind == o.kind; }
};

class Translator {
 public:
  explicit Translator(const char *format) : format_(format) { DynBuf_Init(&out_); }
  ~Translator() { DynBuf_Destroy(&out_); }

  char *Run() {
    if (!Scan() || !CheckNumbering() || !Put("", 1)) {
      return nullptr;
    }
    return DynBuf_Detach(&out_);
  }

 private:
  enum Mode { kUnknown, kNumbered, kUnnumbered };

  bool Put(const char *s, size_t n) { return DynBuf_Append(&out_, s, n); }

  bool Use(int number, ArgClass cls) {
    if (mode_ == kUnnumbered) return true;  // the C library walks these in order
    if (number < 1 || number > kMaxArgs) return false;
    if (used_[number - 1] && !(classes_[number - 1] == cls)) return false;
    used_[number - 1] = true;
    classes_[number - 1] = cls;
    if (number > maxArg_) maxArg_ = number;
    return true;
  }

  bool SetMode(Mode m) {
    if (mode_ != kUnknown && mode_ != m) return false;
    mode_ = m;
    return true;
  }

  bool Scan() {
    const char *p = format_;
    while (*p != '\0') {
      if (*p != '%') {
        const char *q = strchr(p, '%');
        size_t n = q == nullptr ? strlen(p) : static_cast<size_t>(q - p);
        if (!Put(p, n)) return false;
        p += n;
        continue;
      }
      if (p[1] == '%') {
        if (!Put("%%", 2)) return false;
        p += 2;
        continue;
      }
      p = Conversion(p);
      if (p == nullptr) return false;
    }
    return true;
  }

  // Parses the conversion at p (its '%'), writes its translation and returns
  // the position after it, or NULL when it is invalid.
  const char *Conversion(const char *p) {
    const char *start = p++;
    int number = 0;
    if (*p >= '1' && *p <= '9') {
      while (IsDigit(*p)) {
        number = number * 10 + (*p - '0');
        if (number > kMaxArgs) return nullptr;
        p++;
      }
      if (*p != '$') return nullptr;
      p++;
      if (!SetMode(kNumbered)) return nullptr;
    } else if (!SetMode(kUnnumbered)) {
      return nullptr;
    }
    while (IsFlag(*p)) p++;
    for (int part = 0; part < 2; part++) {  // width, then precision
      if (part == 1) {
        if (*p != '.') break;
        p++;
      }
      if (*p == '*') {
        // "*" takes the next argument, which has no number of its own.
        if (mode_ == kNumbered) return nullptr;
        p++;
      } else {
        long value = 0;
        while (IsDigit(*p)) {
          value = value * 10 + (*p++ - '0');
          if (value > kMaxWidth) return nullptr;
        }
      }
    }
    const char *lengthStart = p;
    char length = 0;
    if (p[0] == 'h' && p[1] == 'h') {
      length = 'H';
      p += 2;
    } else if (p[0] == 'l' && p[1] == 'l') {
      length = 'q';
      p += 2;
    } else if (*p != '\0' && strchr("hlLzjt", *p) != nullptr) {
      length = *p++;
    }
    const char *lengthEnd = p;
    char conv = *p;
    if (conv == '\0') return nullptr;
    ArgClass cls{length, 'i'};
    if (strchr("diouxX", conv) != nullptr) {
      if (length == 'L') cls.length = 'q';  // "L" means 64-bit
    } else if (conv == 'c' || conv == 'C' || conv == 's' || conv == 'S' || conv == 'p') {
      if (length != 0 && !(length == 'l' && conv != 'p')) return nullptr;
      cls = conv == 'c' || conv == 'C' ? ArgClass{0, 'i'} : ArgClass{0, 'p'};
    } else if (strchr("AFGa", conv) != nullptr) {
      if (length != 0 && length != 'l' && length != 'L' && length != 'q') return nullptr;
      cls = ArgClass{static_cast<char>(length == 'L' || length == 'q' ? 'L' : 0), 'f'};
    } else {
      // E e f g are refused; %n writes through an argument and is never
      // accepted; anything else is not a conversion.
      return nullptr;
    }
    if (!Use(number, cls)) return nullptr;
    p++;
    if (!Put(start, static_cast<size_t>(lengthStart - start))) return nullptr;
    if (length == 'L') {
      if (!Put("ll", 2)) return nullptr;
    } else if (!Put(lengthStart, static_cast<size_t>(lengthEnd - lengthStart))) {
      return nullptr;
    }
    if (!Put(&conv, 1)) return nullptr;
    return p;
  }

  // Numbered arguments must cover 1..max without a gap: the C library cannot
  // know the type of a skipped argument.
  bool CheckNumbering() const {
    for (int i = 0; i < maxArg_; i++) {
      if (!used_[i]) return false;
    }
    return true;
  }

  const char *format_;
  DynBuf out_;
  Mode mode_ = kUnknown;
  int maxArg_ = 0;
  bool used_[kMaxArgs] = {};
  ArgClass classes_[kMaxArgs] = {};
};

}  // namespace

int Str_Vsnprintf(char *buffer, size_t size, const char *format, va_list args) {
  if (size == 0) {
    return -1;
  }
  int n = vsnprintf(buffer, size, format, args);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    buffer[size - 1] = '\0';
    return -1;
  }
  return n;
}

// The variadic forms: result = call, where call takes the va_list args of
// the arguments after format.
#define STR_FORWARD(result, call) \
  va_list args;                   \
  va_start(args, format);         \
  auto result = call;             \
  va_end(args)

int Str_Snprintf(char *buffer, size_t size, const char *format, ...) {
  STR_FORWARD(n, Str_Vsnprintf(buffer, size, format, args));
  return n;
}

int Str_Sprintf(char *buffer, size_t size, const char *format, ...) {
  STR_FORWARD(n, Str_Vsnprintf(buffer, size, format, args));
  if (n < 0) {
    BufferTooSmall(__builtin_return_address(0));
  }
  return n;
}

char *Str_Strcpy(char *buffer, const char *source, size_t size) {
  size_t n = strlen(source);
  if (n >= size) {
    BufferTooSmall(__builtin_return_address(0));
  }
  memmove(buffer, source, n + 1);
  return buffer;
}

char *Str_Strcat(char *buffer, const char *source, size_t size) {
  size_t have = strnlen(buffer, size);
  size_t n = strlen(source);
  if (have == size || n >= size - have) {
    BufferTooSmall(__builtin_return_address(0));
  }
  memmove(buffer + have, source, n + 1);
  return buffer;
}

char *StrTranslateFormat(const char *format) {
  if (format == nullptr) {
    return nullptr;
  }
  Translator t(format);
  return t.Run();
}

char *Str_Vasprintf(size_t *length, const char *format, va_list args) {
  char *translated = StrTranslateFormat(format);
  if (translated == nullptr) {
    return nullptr;
  }
  va_list sizing;
  va_copy(sizing, args);
  int n = vsnprintf(nullptr, 0, translated, sizing);
  va_end(sizing);
  char *result = n < 0 ? nullptr : static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
  if (result != nullptr) {
    va_list writing;
    va_copy(writing, args);
    vsnprintf(result, static_cast<size_t>(n) + 1, translated, writing);
    va_end(writing);
    // Line ends come back as LF alone.
    size_t w = 0;
    for (size_t r = 0; r < static_cast<size_t>(n); r++) {
      if (!(result[r] == '\r' && result[r + 1] == '\n')) result[w++] = result[r];
    }
    result[w] = '\0';
    if (length != nullptr) *length = w;
  }
  free(translated);
  return result;
}

char *Str_Asprintf(size_t *length, const char *format, ...) {
  STR_FORWARD(s, Str_Vasprintf(length, format, args));
  return s;
}

std::vector<std::string_view> Str_SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

std::string Str_Printable(std::string_view text, StrShown shown) {
  const bool utf8 = HostText_CurrentIsUtf8();
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = 1;
    bool harmless;
    if (c < 0x80) {
      harmless = (c >= 0x20 && c != 0x7F) || c == '\t' || (c == '\n' && shown == STR_SHOWN_TEXT);
    } else if (utf8) {
      length = HostText_Utf8Length(text.data() + i, text.size() - i);
      // U+0080 to U+009F are the two-byte sequences C2 80 to C2 9F.
      harmless = length > 0 && !(c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F);
      length = length > 0 ? length : 1;
    } else {
      harmless = c >= 0xA0;
    }
    if (harmless) {
      out.append(text.data() + i, length);
    } else {
      out += '?';
    }
    i += length;
  }
  return out;
}
