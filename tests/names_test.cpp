// Raw names, wildcard patterns and the directory lookup by pattern and type.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "test_images.h"

using namespace testing_images;
using diskimage::find_file_entry;
using diskimage::match_pattern;

namespace {

using Raw = std::vector<unsigned char>;

// Slot i of directory block t/s, as the library sees it.
FileEntry *slot(DiImage *image, int track, int sector, int i) {
  return reinterpret_cast<FileEntry *>(block(image, track, sector) + i * 32);
}

void fill_slot(FileEntry *entry, int type, const char *name) {
  entry->type = static_cast<unsigned char>(type);
  std::memcpy(entry->rawname, raw(name).data(), 16);
}

void link(DiImage *image, int track, int sector, int to_track, int to_sector) {
  put(block(image, track, sector), {to_track, to_sector});
}

TEST(RawName, FromNamePadsAndTruncates) {
  struct Row {
    const char *name;
    int copied;
    std::string expected;  // the 16 bytes, 0xA0 written as '_'
  };
  const Row rows[] = {
      {"", 0, "________________"},
      {"HELLO", 5, "HELLO___________"},
      {"ABCDEFGHIJKLMNOP", 16, "ABCDEFGHIJKLMNOP"},
      {"ABCDEFGHIJKLMNOPQRST", 16, "ABCDEFGHIJKLMNOP"},
  };
  for (const Row &row : rows) {
    std::array<unsigned char, 17> out;
    out.fill(0x55);
    EXPECT_EQ(di_rawname_from_name(out.data(), row.name), row.copied) << row.name;
    std::string got;
    for (int i = 0; i < 16; ++i) got += out[i] == 0xA0 ? '_' : static_cast<char>(out[i]);
    EXPECT_EQ(got, row.expected) << row.name;
    EXPECT_EQ(out[16], 0x55) << "no terminator may be written: " << row.name;
  }
}

TEST(RawName, ToNameStopsAtFirstFillByte) {
  struct Row {
    Raw raw;
    int copied;
    std::string expected;
  };
  Raw full = raw("ABCDEFGHIJKLMNOP");
  Raw empty(16, 0xA0);
  Raw gap = raw("AB");
  gap[3] = 'C';  // after the first 0xA0: not part of the name
  Raw zero = raw("AB");
  zero[2] = 0;  // a zero byte is copied like any other
  zero[3] = 'C';
  const Row rows[] = {
      {full, 16, "ABCDEFGHIJKLMNOP"},
      {empty, 0, ""},
      {gap, 2, "AB"},
      {zero, 4, std::string("AB\0C", 4)},
  };
  for (const Row &row : rows) {
    char name[17];
    std::memset(name, 0x55, sizeof name);
    int copied = di_name_from_rawname(name, row.raw.data());
    EXPECT_EQ(copied, row.copied);
    EXPECT_EQ(std::string(name, copied), row.expected);
    EXPECT_EQ(name[copied], '\0');
  }
}

TEST(MatchPattern, Table) {
  // A three-letter pattern passed as a C string, its terminator and the bytes
  // after it taking part in the comparison.
  Raw unpadded(16, 0);
  std::memcpy(unpadded.data(), "ABC", 3);
  struct Row {
    Raw pattern;
    const char *name;
    int expected;
  };
  const Row rows[] = {
      {raw("*"), "HELLO", 1},
      {raw("*"), "", 1},
      {raw("A*"), "A", 1},
      {raw("A*"), "ABCDEF", 1},
      {raw("A*"), "BA", 0},
      {raw("A*Z"), "AXY", 1},  // whatever follows '*' is ignored
      {raw("A?"), "AB", 1},
      {raw("A?"), "A", 0},  // '?' does not stand for the fill
      {raw("A?"), "ABC", 0},
      {raw("?"), "", 0},
      {raw("ABC"), "ABC", 1},
      {raw("ABC"), "ABCD", 0},
      {raw("ABCD"), "ABC", 0},
      {raw("ABC"), "ABD", 0},
      {unpadded, "ABC", 0},
      {raw("A*B"), "A*B", 1},
      {raw("X?Y"), "X?Y", 1},
      {raw("X?Y"), "XZY", 1},
      {raw("ABCDEFGHIJKLMNOP"), "ABCDEFGHIJKLMNOP", 1},
      {raw("ABCDEFGHIJKLMNOP"), "ABCDEFGHIJKLMNOQ", 0},
      {raw("ABCDEFGHIJKLMNOP"), "ABCDEFGHIJKLMNO", 0},
      {raw("ABCDEFGHIJKLMNO"), "ABCDEFGHIJKLMNOP", 0},
      {raw("ABCDEFGHIJKLMNO?"), "ABCDEFGHIJKLMNOP", 1},
  };
  for (const Row &row : rows) {
    std::string shown(row.pattern.begin(), row.pattern.end());
    EXPECT_EQ(match_pattern(row.pattern.data(), raw(row.name).data()), row.expected)
        << "pattern '" << shown.substr(0, shown.find('\xA0')) << "' name '" << row.name << "'";
  }
}

TEST(FindFileEntry, FirstMatchInChainOrderByType) {
  ImagePtr image = formatted_image(kD64Size);
  DiImage *img = image.get();
  FileEntry *data_prg = slot(img, 18, 1, 1);
  FileEntry *data_seq = slot(img, 18, 1, 3);
  FileEntry *data2 = slot(img, 18, 1, 5);
  FileEntry *star = slot(img, 18, 1, 6);
  fill_slot(data_prg, 0x82, "DATA");
  fill_slot(data_seq, 0x01, "DATA");  // open seq file: the closed bit is not looked at
  fill_slot(data2, 0xC2, "DATA2");    // locked
  fill_slot(star, 0x82, "ST*R");

  EXPECT_EQ(find_file_entry(img, raw("DATA").data(), 2), data_prg);
  EXPECT_EQ(find_file_entry(img, raw("DATA").data(), 1), data_seq);
  EXPECT_EQ(find_file_entry(img, raw("DATA*").data(), 2), data_prg);
  EXPECT_EQ(find_file_entry(img, raw("DATA2").data(), 2), data2);
  EXPECT_EQ(find_file_entry(img, raw("????2").data(), 2), data2);
  EXPECT_EQ(find_file_entry(img, raw("DATA").data(), 3), nullptr);
  EXPECT_EQ(find_file_entry(img, raw("DAT").data(), 2), nullptr);
  // A name holding a wildcard finds its own slot by the name read from it.
  EXPECT_EQ(find_file_entry(img, star->rawname, 2), star);
  // Slot 0 is free (type 0) and is a candidate like any other.
  EXPECT_EQ(find_file_entry(img, raw("*").data(), 0), slot(img, 18, 1, 0));
  EXPECT_EQ(find_file_entry(img, raw("*").data(), 8), nullptr);
  EXPECT_EQ(find_file_entry(img, raw("*").data(), -1), nullptr);
  EXPECT_EQ(img->status, 0) << "the lookup sets no status";
}

TEST(FindFileEntry, SearchesLaterDirectoryBlocks) {
  ImagePtr image = formatted_image(kD64Size);
  DiImage *img = image.get();
  link(img, 18, 1, 18, 4);
  link(img, 18, 4, 0, 255);
  fill_slot(slot(img, 18, 4, 0), 0x82, "LATER");
  fill_slot(slot(img, 18, 4, 7), 0x82, "SAME");
  fill_slot(slot(img, 18, 1, 7), 0x82, "SAME");
  fill_slot(slot(img, 18, 2, 0), 0x82, "GHOST");  // in no block of the chain

  EXPECT_EQ(find_file_entry(img, raw("LATER").data(), 2), slot(img, 18, 4, 0));
  EXPECT_EQ(find_file_entry(img, raw("SAME").data(), 2), slot(img, 18, 1, 7));
  EXPECT_EQ(find_file_entry(img, raw("GHOST").data(), 2), nullptr);
}

TEST(FindFileEntry, DamagedChainsEndTheWalk) {
  struct Row {
    const char *what;
    int link_track, link_sector;  // link of the last block, 18/7
  };
  const Row rows[] = {
      {"loop back to the first block", 18, 1},  {"loop back to the middle", 18, 4},
      {"block linking to itself", 18, 7},       {"track past the last", 36, 0},
      {"sector past the track's last", 18, 19}, {"track 255", 255, 255},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ImagePtr image = formatted_image(kD64Size);
    DiImage *img = image.get();
    link(img, 18, 1, 18, 4);
    link(img, 18, 4, 18, 7);
    link(img, 18, 7, row.link_track, row.link_sector);
    fill_slot(slot(img, 18, 1, 2), 0x81, "FIRST");
    fill_slot(slot(img, 18, 4, 2), 0x81, "SECOND");
    fill_slot(slot(img, 18, 7, 2), 0x81, "THIRD");
    EXPECT_EQ(find_file_entry(img, raw("FIRST").data(), 1), slot(img, 18, 1, 2));
    EXPECT_EQ(find_file_entry(img, raw("SECOND").data(), 1), slot(img, 18, 4, 2));
    EXPECT_EQ(find_file_entry(img, raw("THIRD").data(), 1), slot(img, 18, 7, 2));
    EXPECT_EQ(find_file_entry(img, raw("ABSENT").data(), 1), nullptr);
  }
}

}  // namespace
