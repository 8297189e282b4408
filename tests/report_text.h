// A report of an image as text: the report rendered from freshly gathered
// facts into memory, as the command line would print it.
#ifndef KESTRIX_TESTS_REPORT_TEXT_H
#define KESTRIX_TESTS_REPORT_TEXT_H

#include <cstdio>
#include <cstdlib>
#include <string>

#include "scanner/reports.h"

namespace testing_reports {

template <typename Report>
std::string report_text(DiImage *image, Report &&report, const char *image_arg = "test.img") {
  facts::ImageFacts image_facts(image, image_arg);
  char *text = nullptr;
  size_t size = 0;
  FILE *memory = open_memstream(&text, &size);
  if (!memory) return "";
  report(image_facts, memory);
  std::fclose(memory);
  std::string out(text, size);
  std::free(text);
  return out;
}

}  // namespace testing_reports

#endif  // KESTRIX_TESTS_REPORT_TEXT_H
