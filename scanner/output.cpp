// The output layer's formatting, written once for every report.
#include "scanner/output.h"

namespace output {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

void append_int(std::string &out, long long value, int width) {
  // Built backwards in a buffer wide enough for any width asked of it, then
  // appended in one piece.
  char text[64];
  char *end = text + sizeof text;
  char *at = end;
  unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                           : static_cast<unsigned long long>(value);
  do {
    *--at = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--at = '-';
  const long digits = end - at;
  const long fill = (width < 0 ? -static_cast<long>(width) : width) - digits;
  if (width > 0 && fill > 0) out.append(static_cast<size_t>(fill), ' ');
  out.append(at, static_cast<size_t>(digits));
  if (width < 0 && fill > 0) out.append(static_cast<size_t>(fill), ' ');
}

void append_hex(std::string &out, unsigned value) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n > 0) out += digits[--n];
}

void append_hex_bytes(std::string &out, const unsigned char *bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    out += kHexDigits[bytes[i] >> 4];
    out += kHexDigits[bytes[i] & 0xF];
  }
}

void pad_to(std::string &out, size_t column) {
  if (out.size() < column) out.append(column - out.size(), ' ');
}

void append_spaces(std::string &out, int count) {
  if (count > 0) out.append(static_cast<size_t>(count), ' ');
}

void append_ts(std::string &out, TsPair ts) {
  append_int(out, ts.track);
  out += '/';
  append_int(out, ts.sector);
}

void append_status(std::string &out, ImageType type, int code, TsPair ts) {
  char text[DI_STATUS_SIZE];
  di_status_text(type, code, ts, text);
  out += text;
}

std::string status_text(ImageType type, int code, TsPair ts) {
  std::string text;
  append_status(text, type, code, ts);
  return text;
}

CodePoint utf8_at(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(at);
  if (lead < 0x80) return {lead, 1};
  const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || at + length > text.size()) return {0, 0};
  unsigned code = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return {0, 0};
    code = code << 6 | (byte(at + i) & 0x3F);
  }
  constexpr unsigned kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {0, 0};
  return {code, length};
}

void append_json_string(std::string &out, std::string_view text) {
  out += '"';
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0xF];
    } else if (c >= 0x80) {
      const CodePoint cp = utf8_at(text, i);
      if (cp.length == 0) {
        out += "\\ufffd";
      } else {
        out.append(text.substr(i, cp.length));
        i += cp.length;
        continue;
      }
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  out += '"';
}

void append_xml_text(std::string &out, std::string_view text) {
  const auto plain = [](unsigned char c) {
    return c >= 0x20 && c < 0x7F && c != '<' && c != '>' && c != '&';
  };
  for (size_t i = 0; i < text.size();) {
    // Runs of plain ASCII, most of every text, are copied at once.
    size_t run = i;
    while (run < text.size() && plain(static_cast<unsigned char>(text[run]))) ++run;
    out.append(text.substr(i, run - i));
    if (run == text.size()) break;
    i = run;
    const CodePoint cp = utf8_at(text, i);
    const bool allowed = cp.length > 1 ? cp.code != 0xFFFE && cp.code != 0xFFFF
                                       : cp.length == 1 && cp.code >= 0x20 && cp.code != 0x7F;
    if (!allowed) {
      out += '?';
      ++i;
      continue;
    }
    switch (text[i]) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      default:
        out.append(text.substr(i, cp.length));
    }
    i += cp.length;
  }
}

void JsonWriter::next_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) out_ += ',';
    first_.back() = false;
  }
}

JsonWriter &JsonWriter::begin_object() {
  next_value();
  out_ += '{';
  first_.push_back(true);
  return *this;
}

JsonWriter &JsonWriter::end_object() {
  out_ += '}';
  first_.pop_back();
  return *this;
}

JsonWriter &JsonWriter::begin_array() {
  next_value();
  out_ += '[';
  first_.push_back(true);
  return *this;
}

JsonWriter &JsonWriter::end_array() {
  out_ += ']';
  first_.pop_back();
  return *this;
}

JsonWriter &JsonWriter::key(const char *name) {
  next_value();
  out_ += '"';
  out_ += name;
  out_ += "\":";
  after_key_ = true;
  return *this;
}

JsonWriter &JsonWriter::string(std::string_view text) {
  next_value();
  append_json_string(out_, text);
  return *this;
}

JsonWriter &JsonWriter::number(long long value) {
  next_value();
  append_int(out_, value);
  return *this;
}

JsonWriter &JsonWriter::boolean(bool value) {
  next_value();
  out_ += value ? "true" : "false";
  return *this;
}

JsonWriter &JsonWriter::null() {
  next_value();
  out_ += "null";
  return *this;
}

JsonWriter &JsonWriter::pair(TsPair ts) {
  begin_array();
  number(ts.track);
  number(ts.sector);
  return end_array();
}

}  // namespace output
