// PETSCII display conversion, print_spaces and the BAM message flag, called
// directly.
#include <gtest/gtest.h>

#include <string>

#include "scanner/output.h"
#include "scanner/reports.h"
#include "tests/report_text.h"
#include "tests/test_images.h"

namespace {

using namespace testing_images;

// How each run of stored bytes is shown.
enum class Shown { Dot, Lower, Upper, Question, Itself, Minus80 };

struct Row {
  int first, last;
  Shown shown;
};

// Every non-zero byte, row by row.
constexpr Row kRows[] = {
    {0x01, 0x1F, Shown::Dot},      {0x80, 0x9F, Shown::Dot},      {0x41, 0x5A, Shown::Lower},
    {0xC1, 0xDA, Shown::Lower},    {0x61, 0x7A, Shown::Upper},    {0xE1, 0xFA, Shown::Upper},
    {0x7F, 0x7F, Shown::Question}, {0xFF, 0xFF, Shown::Question}, {0x20, 0x40, Shown::Itself},
    {0x5B, 0x60, Shown::Itself},   {0x7B, 0x7E, Shown::Itself},   {0xA0, 0xC0, Shown::Minus80},
    {0xDB, 0xE0, Shown::Minus80},  {0xFB, 0xFE, Shown::Minus80},
};

// The expected character of every byte 1-255; index 0 unused.
std::string expected_table() {
  std::string shown(256, '\0');
  for (const Row &row : kRows) {
    for (int b = row.first; b <= row.last; ++b) {
      EXPECT_EQ(shown[b], '\0') << "byte " << b << " in two rows";
      switch (row.shown) {
        case Shown::Dot:
          shown[b] = '.';
          break;
        case Shown::Lower:
          shown[b] = static_cast<char>('a' + (b - row.first));
          break;
        case Shown::Upper:
          shown[b] = static_cast<char>('A' + (b - row.first));
          break;
        case Shown::Question:
          shown[b] = '?';
          break;
        case Shown::Itself:
          shown[b] = static_cast<char>(b);
          break;
        case Shown::Minus80:
          shown[b] = static_cast<char>(b - 0x80);
          break;
      }
    }
  }
  for (int b = 1; b < 256; ++b) EXPECT_NE(shown[b], '\0') << "byte " << b << " in no row";
  return shown;
}

TEST(Ptoa, EachByteAlone) {
  const std::string shown = expected_table();
  for (int b = 1; b < 256; ++b) {
    unsigned char text[] = {static_cast<unsigned char>(b), 0, 'A'};
    ptoa(text);
    EXPECT_EQ(text[0], static_cast<unsigned char>(shown[b])) << "byte " << b;
    EXPECT_EQ(text[1], 0) << "byte " << b;
    EXPECT_EQ(text[2], 'A') << "converted past the end after byte " << b;
  }
}

// All 255 non-zero bytes in one string: 0x80 and the rest do not end it.
TEST(Ptoa, WholeStringIsConverted) {
  const std::string shown = expected_table();
  unsigned char text[257] = {};
  for (int b = 1; b < 256; ++b) text[b - 1] = static_cast<unsigned char>(b);
  ptoa(text);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(text)), shown.substr(1));
}

TEST(Ptoa, EmptyStringChangesNothing) {
  unsigned char text[] = {0, 0x41, 0xC1, 0};
  ptoa(text);
  EXPECT_EQ(text[0], 0);
  EXPECT_EQ(text[1], 0x41);
  EXPECT_EQ(text[2], 0xC1);
}

TEST(AppendSpaces, CountsBelowOneAppendNothing) {
  for (int count : {-40, -1, 0, 1, 3}) {
    std::string text = "x";
    output::append_spaces(text, count);
    EXPECT_EQ(text, "x" + std::string(count > 0 ? count : 0, ' ')) << count;
  }
}

// The flag ends as the call left it, whatever it was before.
TEST(BamMessage, SetsTheFlagOnlyWhenItPrints) {
  ImagePtr quiet = formatted_image(kD64Size);
  ImagePtr spoken = formatted_image(kD64Size);
  put(block(spoken.get(), 18, 0) + 171, {'H', 'I'});
  ImagePtr d81 = formatted_image(kD81Size);
  put(block(d81.get(), 40, 1) + 171, {'H', 'I', 0});
  const struct {
    DiImage *image;
    int before, after;
    std::string out;
  } cases[] = {
      {quiet.get(), 1, 0, ""},
      {quiet.get(), 0, 0, ""},
      {spoken.get(), 0, 1, "BAM Message: hi\n"},
      {spoken.get(), 1, 1, "BAM Message: hi\n"},
      {d81.get(), 1, 0, ""},
  };
  for (const auto &c : cases) {
    lastoutput = c.before;
    EXPECT_EQ(testing_reports::report_text(c.image, print_bammessage), c.out);
    EXPECT_EQ(lastoutput, c.after);
    EXPECT_EQ(c.image->dirty, 0);
  }
  lastoutput = 0;
}

}  // namespace
