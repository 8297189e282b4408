// The small output layer every report writes through: numbers and hex as
// printf would give them, text checked as UTF-8, and JSON and XML escaping.
// Reports build their text in a string and write it with one call: per
// field stdio calls were most of their time.
#ifndef KESTRIX_SCANNER_OUTPUT_H
#define KESTRIX_SCANNER_OUTPUT_H

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "diskimage/diskimage.h"

namespace output {

// As "%*d" prints value with `width`: right-justified, with a minus sign for
// negatives; a negative width justifies to the left, as "%-*d".
void append_int(std::string &out, long long value, int width = 0);
// As "%x" prints it: lower case, no leading zeros.
void append_hex(std::string &out, unsigned value);
// Two lower-case hex digits a byte.
void append_hex_bytes(std::string &out, const unsigned char *bytes, size_t size);
// Spaces up to `column` of the string (none when it is there already).
void pad_to(std::string &out, size_t column);
// `count` spaces; none for 0 or less.
void append_spaces(std::string &out, int count);
// "t/s"
void append_ts(std::string &out, TsPair ts);
// A status as the listing words it: "66,illegal track or sector,36,00".
void append_status(std::string &out, ImageType type, int code, TsPair ts);
std::string status_text(ImageType type, int code, TsPair ts);

// The code point of the well-formed UTF-8 sequence at text[at] and its
// length, or length 0 where none starts (a stray or cut sequence, an
// overlong form, a surrogate, or past U+10FFFF).
struct CodePoint {
  unsigned code;
  size_t length;
};
CodePoint utf8_at(std::string_view text, size_t at);

// Text as a JSON string, quotes included. Text from the command line may be
// in any encoding, so bytes that are not UTF-8 become U+FFFD.
void append_json_string(std::string &out, std::string_view text);
// Text escaped for XML element content (not for attribute values, where
// quotes would need escaping too); what XML cannot hold (control bytes,
// broken UTF-8) shows as '?'.
void append_xml_text(std::string &out, std::string_view text);

// Writes JSON into a string, knowing its own nesting: commas go between the
// members of the object or array it is in, wherever they come from.
class JsonWriter {
 public:
  explicit JsonWriter(std::string &out) : out_(out) {}

  JsonWriter &begin_object();
  JsonWriter &end_object();
  JsonWriter &begin_array();
  JsonWriter &end_array();
  // The name of the next member of the object.
  JsonWriter &key(const char *name);
  JsonWriter &string(std::string_view text);
  JsonWriter &number(long long value);
  JsonWriter &boolean(bool value);
  JsonWriter &null();
  // [track,sector]
  JsonWriter &pair(TsPair ts);

 private:
  // A comma before any value but the first of its array, and none after a key.
  void next_value();

  std::string &out_;
  std::vector<bool> first_;  // per open object or array: nothing in it yet
  bool after_key_ = false;
};

// Writes the whole text with one call.
inline void write(const std::string &text, FILE *out) {
  std::fwrite(text.data(), 1, text.size(), out);
}

}  // namespace output

#endif  // KESTRIX_SCANNER_OUTPUT_H
