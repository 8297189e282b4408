// The JSON and XML readers: recursive descent for JSON, a stack of open
// element names for XML, both refusing at the first byte out of place.
#include "fuzz/wellformed.h"

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace kestrix_fuzz {

namespace {

class Reader {
 protected:
  explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool at_end() const { return p_ >= end_; }
  char peek() const { return at_end() ? '\0' : *p_; }
  bool take(char c) {
    if (at_end() || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool word(const char *w) {
    const char *at = p_;
    for (; *w != '\0'; ++w, ++at)
      if (at >= end_ || *at != *w) return false;
    p_ = at;
    return true;
  }
  void space() {
    while (!at_end() && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  static bool digit(char c) { return c >= '0' && c <= '9'; }
  static bool hex(char c) { return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

  // One UTF-8 sequence; -1 when the bytes are none (overlong forms,
  // surrogates and values past U+10FFFF included).
  long code_point() {
    const auto lead = static_cast<unsigned char>(*p_);
    if (lead < 0x80) {
      ++p_;
      return lead;
    }
    const int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || end_ - p_ < length) return -1;
    long code = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
      const auto c = static_cast<unsigned char>(p_[i]);
      if ((c & 0xC0) != 0x80) return -1;
      code = code << 6 | (c & 0x3F);
    }
    static constexpr long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return -1;
    p_ += length;
    return code;
  }

  const char *p_;
  const char *end_;
};

class Json : Reader {
 public:
  explicit Json(std::string_view text) : Reader(text) {}

  bool whole() {
    if (!value(0)) return false;
    space();
    return at_end();
  }

 private:
  static constexpr int kMaxDepth = 64;

  bool token(char c) {
    space();
    return take(c);
  }

  bool digits() {
    if (!digit(peek())) return false;
    while (digit(peek())) ++p_;
    return true;
  }

  bool number() {
    take('-');
    if (take('0')) {
      if (digit(peek())) return false;
    } else if (!digits()) {
      return false;
    }
    if (take('.') && !digits()) return false;
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!digits()) return false;
    }
    return true;
  }

  // Control characters must be escaped; anything else is UTF-8.
  bool string() {
    if (!token('"')) return false;
    while (!at_end()) {
      const long c = code_point();
      if (c < 0x20) return false;
      if (c == '"') return true;
      if (c != '\\') continue;
      if (take('u')) {
        for (int i = 0; i < 4; ++i)
          if (!hex(peek()) || !take(peek())) return false;
      } else if (at_end() || *p_ == '\0' || !std::strchr("\"\\/bfnrt", *p_++)) {
        return false;
      }
    }
    return false;
  }

  bool value(int depth) {
    if (depth > kMaxDepth) return false;
    space();
    switch (peek()) {
      case '{':
        ++p_;
        if (token('}')) return true;
        do {
          if (!string() || !token(':') || !value(depth + 1)) return false;
        } while (token(','));
        return token('}');
      case '[':
        ++p_;
        if (token(']')) return true;
        do {
          if (!value(depth + 1)) return false;
        } while (token(','));
        return token(']');
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
};

class Xml : Reader {
 public:
  explicit Xml(std::string_view text) : Reader(text) {}

  bool whole() {
    // The declaration's pseudo-attributes are not looked into.
    if (word("<?xml") && !skip_past("?>")) return false;
    return misc() && element() && misc() && at_end();
  }

 private:
  static bool xml_char(long c) {
    return c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
  }
  static bool name_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
  }
  static bool name_char(char c) { return name_start(c) || digit(c) || c == '-' || c == '.'; }

  bool skip_past(const char *end) {
    for (; !at_end(); ++p_)
      if (word(end)) return true;
    return false;
  }

  bool name(std::string_view &out) {
    const char *start = p_;
    if (!name_start(peek())) return false;
    while (name_char(peek())) ++p_;
    out = std::string_view(start, static_cast<size_t>(p_ - start));
    return true;
  }

  bool comment() {
    while (!at_end()) {
      if (word("--")) return take('>');
      if (!xml_char(code_point())) return false;
    }
    return false;
  }

  // White space and comments outside the root element.
  bool misc() {
    for (;;) {
      space();
      if (!word("<!--")) return true;
      if (!comment()) return false;
    }
  }

  // After the '&'.
  bool reference() {
    if (take('#')) {
      long code = 0;
      const bool is_hex = take('x');
      int count = 0;
      for (; is_hex ? hex(peek()) : digit(peek()); ++p_, ++count) {
        const char c = *p_;
        const int d = digit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
        code = code * (is_hex ? 16 : 10) + d;
        if (code > 0x10FFFF) return false;
      }
      return count > 0 && take(';') && xml_char(code);
    }
    return word("lt;") || word("gt;") || word("amp;") || word("quot;") || word("apos;");
  }

  // Printable ASCII that needs no further look in any text: nearly all of a
  // report, passed over in a tight loop.
  static constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x7F; ++c) plain[c] = true;
    for (const char c : {'<', '&', ']', '"', '\''}) plain[static_cast<unsigned char>(c)] = false;
    return plain;
  }();

  // Character data or an attribute value up to `stop`, which is not taken.
  bool text(char stop) {
    for (;;) {
      while (p_ < end_ && kPlain[static_cast<unsigned char>(*p_)]) ++p_;
      if (at_end() || *p_ == stop) return true;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '<') return false;
      if (c == '&') {
        ++p_;
        if (!reference()) return false;
      } else if (c == ']' && word("]]>")) {
        return false;
      } else if (c >= 0x20 && c < 0x80) {
        ++p_;
      } else if (!xml_char(code_point())) {
        return false;
      }
    }
  }

  // A start tag and its attributes, after the '<'; an empty-element tag
  // closes at once.
  bool start_tag() {
    std::string_view element_name;
    if (!name(element_name)) return false;
    open_.push_back(element_name);
    seen_.clear();
    for (;;) {
      const char *before = p_;
      space();
      if (take('>')) return true;
      if (word("/>")) {
        open_.pop_back();
        return true;
      }
      std::string_view attribute;
      if (p_ == before || !name(attribute)) return false;
      for (std::string_view other : seen_)
        if (other == attribute) return false;
      seen_.push_back(attribute);
      space();
      if (!take('=')) return false;
      space();
      const char quote = peek();
      if ((quote != '"' && quote != '\'') || !take(quote)) return false;
      if (!text(quote) || !take(quote)) return false;
    }
  }

  // The root element and everything in it, without recursion.
  bool element() {
    if (!take('<') || !start_tag()) return false;
    while (!open_.empty()) {
      if (!text('<') || !take('<')) return false;
      if (take('/')) {
        std::string_view closing;
        if (!name(closing) || closing != open_.back()) return false;
        space();
        if (!take('>')) return false;
        open_.pop_back();
      } else if (word("!--")) {
        if (!comment()) return false;
      } else if (!start_tag()) {
        return false;
      }
    }
    return true;
  }

  std::vector<std::string_view> open_;  // the elements open, innermost last
  std::vector<std::string_view> seen_;  // the current tag's attributes
};

}  // namespace

bool json_well_formed(std::string_view text) {
  return Json(text).whole();
}

bool xml_well_formed(std::string_view text) {
  return Xml(text).whole();
}

}  // namespace kestrix_fuzz
