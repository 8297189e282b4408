// A strict reader of one JSON text (RFC 8259), used by the fuzz targets to
// parse the -json report back: it says only whether the text is well formed.
#ifndef KESTRIX_FUZZ_JSON_CHECK_H
#define KESTRIX_FUZZ_JSON_CHECK_H

#include <cstddef>
#include <cstring>

namespace kestrix_fuzz {

class JsonCheck {
 public:
  JsonCheck(const char *text, size_t size) : p_(text), end_(text + size) {}

  // One value, then nothing but white space.
  bool whole() {
    if (!value(0)) return false;
    space();
    return p_ == end_;
  }

 private:
  static constexpr int kMaxDepth = 64;

  void space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool take(char c) {
    space();
    if (p_ < end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }
  bool word(const char *w) {
    const size_t n = std::strlen(w);
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, w, n) != 0) return false;
    p_ += n;
    return true;
  }
  static bool digit(char c) { return c >= '0' && c <= '9'; }
  static bool hex(char c) { return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

  bool number() {
    if (p_ < end_ && *p_ == '-') ++p_;
    if (p_ >= end_ || !digit(*p_)) return false;
    if (*p_ == '0') {
      ++p_;
    } else {
      while (p_ < end_ && digit(*p_)) ++p_;
    }
    if (p_ < end_ && *p_ == '.') {
      ++p_;
      if (p_ >= end_ || !digit(*p_)) return false;
      while (p_ < end_ && digit(*p_)) ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ >= end_ || !digit(*p_)) return false;
      while (p_ < end_ && digit(*p_)) ++p_;
    }
    return true;
  }

  // Strings may hold any UTF-8; control characters must be escaped.
  bool string() {
    if (!take('"')) return false;
    while (p_ < end_) {
      const auto c = static_cast<unsigned char>(*p_++);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (p_ >= end_) return false;
      const char e = *p_++;
      if (e == 'u') {
        for (int i = 0; i < 4; ++i)
          if (p_ >= end_ || !hex(*p_++)) return false;
      } else if (!std::strchr("\"\\/bfnrt", e) || e == '\0') {
        return false;
      }
    }
    return false;
  }

  bool value(int depth) {
    if (depth > kMaxDepth) return false;
    space();
    if (p_ >= end_) return false;
    switch (*p_) {
      case '{':
        ++p_;
        if (take('}')) return true;
        do {
          if (!string() || !take(':') || !value(depth + 1)) return false;
        } while (take(','));
        return take('}');
      case '[':
        ++p_;
        if (take(']')) return true;
        do {
          if (!value(depth + 1)) return false;
        } while (take(','));
        return take(']');
      case '"':
        return string();
      case 't':
        return word("true");
      case 'f':
        return word("false");
      case 'n':
        return word("null");
      default:
        return number();
    }
  }

  const char *p_;
  const char *end_;
};

}  // namespace kestrix_fuzz

#endif  // KESTRIX_FUZZ_JSON_CHECK_H
