/*
 * Makes the sample disk images that ship with kestrix, using nothing but the
 * public diskimage interface: create, format, write files, then damage one
 * image on purpose so that the scanner has something to report.
 *
 *   make_samples DIR     writes DIR/clean.d64, DIR/damaged.d64, DIR/demo.d71
 *                        and DIR/demo.d81
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "diskimage/diskimage.h"

/* Fills a file's bytes with a readable, repeatable pattern. */
static void fill(unsigned char *data, int len, int seed) {
  int i;
  for (i = 0; i < len; ++i) data[i] = (unsigned char)((seed * 31 + i * 7) & 0xFF);
}

static int add_file(DiImage *image, const char *name, int type, int len, int seed) {
  unsigned char raw[16];
  unsigned char *data = malloc(len > 0 ? (size_t)len : 1);
  DiFile *file;
  int taken;
  if (!data) return -1;
  fill(data, len, seed);
  di_rawname_from_name(raw, name);
  file = di_open(image, raw, type, "wb");
  if (!file) {
    free(data);
    return -1;
  }
  taken = di_write(file, data, len);
  di_close(file);
  free(data);
  return taken == len ? 0 : -1;
}

static DiImage *new_disk(const char *dir, const char *file, int size, const char *title,
                         const char *id) {
  char path[4096];
  unsigned char raw[16];
  DiImage *image;
  snprintf(path, sizeof path, "%s/%s", dir, file);
  image = di_create_image(path, size);
  if (!image) return NULL;
  di_rawname_from_name(raw, title);
  di_format(image, raw, (const unsigned char *)id);
  return image;
}

static TsPair ts(int track, int sector) {
  TsPair pair;
  pair.track = (unsigned char)track;
  pair.sector = (unsigned char)sector;
  return pair;
}

/* The first block of a file, found through the directory block at 18/1. */
static TsPair first_block(DiImage *image, int slot) {
  FileEntry *entries = (FileEntry *)di_get_ts_addr(image, ts(18, 1));
  return entries[slot].first_ts;
}

static int make_clean_d64(const char *dir) {
  DiImage *image = new_disk(dir, "clean.d64", DI_D64_SIZE, "KESTRIX DEMO", "KX");
  if (!image) return -1;
  if (add_file(image, "HELLO", DI_FT_PRG, 700, 1) ||
      add_file(image, "README", DI_FT_SEQ, 1200, 2) || add_file(image, "GAME", DI_FT_PRG, 9000, 3))
    return -1;
  di_free_image(image);
  return 0;
}

/* A D64 with error information and every kind of damage the scanner reports:
 * a bad block inside a file, a chain that runs in a cycle, a link to a block
 * that does not exist, and a message hidden in the BAM block's free tail. */
static int make_damaged_d64(const char *dir) {
  static const char message[] = "HIDDEN MESSAGE";
  DiImage *image = new_disk(dir, "damaged.d64", DI_D64_ERR_SIZE, "DAMAGED DISK", "DD");
  unsigned char *block;
  TsPair first;
  if (!image) return -1;
  if (add_file(image, "INTACT", DI_FT_PRG, 600, 4) ||
      add_file(image, "BAD BLOCK", DI_FT_PRG, 800, 5) ||
      add_file(image, "CYCLE", DI_FT_SEQ, 900, 6) ||
      add_file(image, "BROKEN LINK", DI_FT_PRG, 700, 7) ||
      add_file(image, "SPARE", DI_FT_PRG, 300, 8))
    return -1;

  /* BAD BLOCK: its second block reads with a checksum error (23). */
  first = first_block(image, 1);
  block = di_get_ts_addr(image, first);
  image->error_info[0] = 1;
  {
    TsPair second = ts(block[0], block[1]);
    int track = second.track, sector = second.sector, num = 0, t;
    for (t = 1; t < track; ++t) num += di_sectors_per_track(image->type, t);
    image->error_info[num + sector] = 5;
  }
  /* CYCLE: its third block links back to its first. */
  first = first_block(image, 2);
  block = di_get_ts_addr(image, first);
  block = di_get_ts_addr(image, ts(block[0], block[1]));
  block = di_get_ts_addr(image, ts(block[0], block[1]));
  block[0] = first.track;
  block[1] = first.sector;
  /* BROKEN LINK: its first block links to track 40, which a D64 lacks. */
  block = di_get_ts_addr(image, first_block(image, 3));
  block[0] = 40;
  block[1] = 3;
  /* Two free blocks on track 31 that read badly (codes 2 and 0x14). */
  image->error_info[600] = 2;
  image->error_info[601] = 0x14;
  /* The hidden message, in unshifted PETSCII, after the DOS type. */
  block = di_get_ts_addr(image, ts(18, 0));
  memcpy(block + 171, message, sizeof message - 1);
  image->dirty = 1;
  di_free_image(image);
  return 0;
}

static int make_d71(const char *dir) {
  DiImage *image = new_disk(dir, "demo.d71", DI_D71_SIZE, "TWO SIDES", "71");
  if (!image) return -1;
  if (add_file(image, "SIDE ONE", DI_FT_PRG, 20000, 9) ||
      add_file(image, "BIG FILE", DI_FT_SEQ, 200000, 10) ||
      add_file(image, "NOTES", DI_FT_SEQ, 500, 11))
    return -1;
  di_free_image(image);
  return 0;
}

static int make_d81(const char *dir) {
  DiImage *image = new_disk(dir, "demo.d81", DI_D81_SIZE, "THREE AND A HALF", "81");
  char name[17];
  int i;
  if (!image) return -1;
  for (i = 0; i < 12; ++i) {
    snprintf(name, sizeof name, "FILE %02d", i);
    if (add_file(image, name, i % 3 == 0 ? DI_FT_SEQ : DI_FT_PRG, 1000 * (i + 1), 20 + i))
      return -1;
  }
  di_free_image(image);
  return 0;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  if (make_clean_d64(argv[1]) || make_damaged_d64(argv[1]) || make_d71(argv[1]) ||
      make_d81(argv[1])) {
    fprintf(stderr, "%s: could not make the sample images\n", argv[0]);
    return 1;
  }
  return 0;
}
