// Strict readers of the two structured reports, used to parse them back:
// each says only whether a text is well formed.
#ifndef KESTRIX_FUZZ_WELLFORMED_H
#define KESTRIX_FUZZ_WELLFORMED_H

#include <string_view>

namespace kestrix_fuzz {

// One JSON text (RFC 8259) in valid UTF-8: one value, then only white space.
bool json_well_formed(std::string_view text);

// One XML 1.0 document in valid UTF-8: an optional XML declaration, comments
// and white space around exactly one element, names and attribute values
// quoted and unique, every entity reference one of the five predefined or a
// character reference to an XML character. Takes no document type, CDATA
// section, processing instruction or non-ASCII name, which no report writes.
bool xml_well_formed(std::string_view text);

}  // namespace kestrix_fuzz

#endif  // KESTRIX_FUZZ_WELLFORMED_H
