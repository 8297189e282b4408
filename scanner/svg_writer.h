// Writing SVG 1.1 into a string: the document around a picture, text, and
// the shapes the disk picture is made of. Nothing here knows about disks.
#ifndef KESTRIX_SCANNER_SVG_WRITER_H
#define KESTRIX_SCANNER_SVG_WRITER_H

#include <string>
#include <string_view>

namespace svg {

// A coordinate rounded to one decimal, without a trailing ".0".
void append_number(std::string &out, double value);

// The XML declaration, the <svg> element of the given size with its title
// (escaped), and the style sheet and definitions in <defs>; then a white
// background. end_document() closes it. The document declares the xlink
// namespace, so that <use xlink:href="#id"> can draw an element again.
void begin_document(std::string &out, double width, double height, std::string_view title,
                    std::string_view style, std::string_view defs);
void end_document(std::string &out);

// <text x= y= font-size=...>text</text>, `extra` being further attributes
// written as they are (with a leading space).
void append_text(std::string &out, double x, double y, int size, std::string_view text,
                 std::string_view extra = "");

// <rect class="..." fill="none" x= y= width= height=/>: a square legend swatch.
void append_swatch(std::string &out, double x, double y, double size, std::string_view classes);

// Path data of a ring segment around (cx, cy): between radii inner and
// outer, from angle a0 to a1 (radians, clockwise from the top). Relative
// steps after the first point keep it short.
void append_ring_segment(std::string &d, double cx, double cy, double outer, double inner,
                         double a0, double a1);

}  // namespace svg

#endif  // KESTRIX_SCANNER_SVG_WRITER_H
