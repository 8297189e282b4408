// The SVG writer.
#include "scanner/svg_writer.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "scanner/output.h"

namespace svg {

void append_number(std::string &out, double value) {
  const long tenths = std::lround(value * 10);
  char text[24];
  char *end = std::to_chars(text, text + sizeof text, tenths / 10).ptr;
  const long tenth = std::labs(tenths % 10);
  // -0.5 and the like: the whole part lost its sign.
  if (tenths < 0 && tenths > -10) out += '-';
  if (tenth != 0) {
    *end++ = '.';
    *end++ = static_cast<char>('0' + tenth);
  }
  out.append(text, end);
}

void begin_document(std::string &out, double width, double height, std::string_view title,
                    std::string_view style, std::string_view defs) {
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out +=
      "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
      "version=\"1.1\" width=\"";
  append_number(out, width);
  out += "\" height=\"";
  append_number(out, height);
  out += "\" viewBox=\"0 0 ";
  append_number(out, width);
  out += ' ';
  append_number(out, height);
  out += "\">\n<title>";
  output::append_xml_text(out, title);
  out += "</title>\n<defs>\n<style type=\"text/css\">";
  out += style;
  out += "</style>\n";
  out += defs;
  out += "</defs>\n<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
}

void end_document(std::string &out) {
  out += "</svg>\n";
}

void append_text(std::string &out, double x, double y, int size, std::string_view text,
                 std::string_view extra) {
  out += "<text x=\"";
  append_number(out, x);
  out += "\" y=\"";
  append_number(out, y);
  out += "\" font-size=\"";
  output::append_int(out, size);
  out += '"';
  out += extra;
  out += '>';
  output::append_xml_text(out, text);
  out += "</text>\n";
}

void append_swatch(std::string &out, double x, double y, double size, std::string_view classes) {
  out += "<rect class=\"";
  out += classes;
  out += "\" fill=\"none\" x=\"";
  append_number(out, x);
  out += "\" y=\"";
  append_number(out, y);
  out += "\" width=\"";
  append_number(out, size);
  out += "\" height=\"";
  append_number(out, size);
  out += "\"/>\n";
}

void append_ring_segment(std::string &d, double cx, double cy, double outer, double inner,
                         double a0, double a1) {
  // In tenths, so that each relative step is the difference of two rounded
  // points and the outline closes exactly where it began.
  struct Point {
    long x, y;
  };
  const auto at = [&](double r, double a) {
    return Point{std::lround((cx + r * std::sin(a)) * 10),
                 std::lround((cy - r * std::cos(a)) * 10)};
  };
  const auto tenths = [&](long value) { append_number(d, static_cast<double>(value) / 10); };
  // A number after another needs a space unless its minus sign parts them.
  const auto next = [&](long value) {
    if (value >= 0) d += ' ';
    tenths(value);
  };
  const auto arc = [&](double r, const char *flags, Point from, Point to) {
    d += 'a';
    append_number(d, r);
    d += ' ';
    append_number(d, r);
    d += flags;
    next(to.x - from.x);
    next(to.y - from.y);
  };
  const Point p0 = at(outer, a0), p1 = at(outer, a1), p2 = at(inner, a1), p3 = at(inner, a0);
  d += 'M';
  tenths(p0.x);
  next(p0.y);
  arc(outer, " 0 0 1", p0, p1);
  d += 'l';
  tenths(p2.x - p1.x);
  next(p2.y - p1.y);
  arc(inner, " 0 0 0", p2, p3);
  d += 'z';
}

}  // namespace svg
