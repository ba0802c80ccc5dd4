// A small strict JSON reader for tests that parse records back: objects,
// arrays, strings (all escapes, surrogate pairs) and unsigned integers.
// Anything else, or trailing text, makes Parse return false.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace jsonline {

struct Value {
  enum Kind { kNone, kNumber, kString, kArray, kObject } kind = kNone;
  uint64_t number = 0;
  std::string text;
  std::vector<Value> items;
  std::map<std::string, Value> fields;
  std::vector<std::string> order;  // field names as they appeared
};

class Reader {
 public:
  explicit Reader(const std::string &s) : s_(s) {}

  bool Parse(Value *v) {
    if (!ParseValue(v)) {
      return false;
    }
    SkipBlanks();
    return i_ == s_.size();
  }

 private:
  void SkipBlanks() {
    while (i_ < s_.size() &&
           (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) {
      i_++;
    }
  }
  bool Literal(const char *word) {
    std::string w(word);
    if (s_.compare(i_, w.size(), w) != 0) {
      return false;
    }
    i_ += w.size();
    return true;
  }
  static void PutUtf8(std::string *out, uint32_t cp) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  bool Hex4(uint32_t *v) {
    if (i_ + 4 > s_.size()) {
      return false;
    }
    *v = 0;
    for (int k = 0; k < 4; k++) {
      char c = s_[i_++];
      int h = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (h < 0) {
        return false;
      }
      *v = (*v << 4) | static_cast<uint32_t>(h);
    }
    return true;
  }
  bool ParseString(std::string *out) {
    if (i_ >= s_.size() || s_[i_] != '"') {
      return false;
    }
    i_++;
    while (i_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') {
        return true;
      }
      if (c < 0x20) {
        return false;  // raw control characters are not allowed
      }
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (i_ >= s_.size()) {
        return false;
      }
      char e = s_[i_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out->push_back(e);
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(&cp)) {
            return false;
          }
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t lo;
            if (!Literal("\\u") || !Hex4(&lo) || lo < 0xDC00 || lo > 0xDFFF) {
              return false;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          PutUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool ParseValue(Value *v) {
    SkipBlanks();
    if (i_ >= s_.size()) {
      return false;
    }
    char c = s_[i_];
    if (c == '{') {
      i_++;
      v->kind = Value::kObject;
      SkipBlanks();
      if (i_ < s_.size() && s_[i_] == '}') {
        i_++;
        return true;
      }
      for (;;) {
        SkipBlanks();
        std::string name;
        if (!ParseString(&name)) {
          return false;
        }
        SkipBlanks();
        if (i_ >= s_.size() || s_[i_++] != ':') {
          return false;
        }
        Value item;
        if (!ParseValue(&item) || v->fields.count(name) != 0) {
          return false;
        }
        v->order.push_back(name);
        v->fields[name] = item;
        SkipBlanks();
        if (i_ < s_.size() && s_[i_] == ',') {
          i_++;
          continue;
        }
        return i_ < s_.size() && s_[i_++] == '}';
      }
    }
    if (c == '[') {
      i_++;
      v->kind = Value::kArray;
      SkipBlanks();
      if (i_ < s_.size() && s_[i_] == ']') {
        i_++;
        return true;
      }
      for (;;) {
        Value item;
        if (!ParseValue(&item)) {
          return false;
        }
        v->items.push_back(item);
        SkipBlanks();
        if (i_ < s_.size() && s_[i_] == ',') {
          i_++;
          continue;
        }
        return i_ < s_.size() && s_[i_++] == ']';
      }
    }
    if (c == '"') {
      v->kind = Value::kString;
      return ParseString(&v->text);
    }
    if (c >= '0' && c <= '9') {
      v->kind = Value::kNumber;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') {
        v->number = v->number * 10 + static_cast<uint64_t>(s_[i_++] - '0');
      }
      return true;
    }
    return false;
  }

  const std::string &s_;
  size_t i_ = 0;
};

// Parses one line; false when it is not exactly one JSON value.
inline bool Parse(const std::string &line, Value *v) { return Reader(line).Parse(v); }

// Splits a file's text into its lines (without the line feeds).
inline std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

}  // namespace jsonline
