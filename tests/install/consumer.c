/*
 * A program built against the installed diskimage library, through nothing
 * but the installed header: make a D64 image, format it, write a file, read
 * it back, write the image into DIR and load it again.
 *
 *   consumer DIR
 *
 * Prints what it saw; exits 0 only when every step gave what it should.
 */
#include <stdio.h>
#include <string.h>

#include <diskimage/diskimage.h>

enum { kFileSize = 1000 };

static int fail(const char *what) {
  printf("FAILED: %s\n", what);
  return 1;
}

/* Reads the file HELLO of type prg and compares it with data. */
static int read_back(DiImage *image, const unsigned char *data, const char *when) {
  unsigned char raw[16];
  unsigned char back[kFileSize + 100];
  char status[DI_STATUS_SIZE];
  DiFile *file;
  int got;
  di_rawname_from_name(raw, "HELLO");
  file = di_open(image, raw, DI_FT_PRG, "rb");
  if (!file) return fail("open for reading");
  got = di_read(file, back, (int)sizeof back);
  di_close(file);
  di_status(image, status);
  printf("%s: read %d bytes, %s, status %s\n", when, got,
         got == kFileSize && memcmp(back, data, kFileSize) == 0 ? "same data" : "DIFFERENT data",
         status);
  return got == kFileSize && memcmp(back, data, kFileSize) == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
  unsigned char name[16];
  unsigned char data[kFileSize];
  char path[4096];
  char status[DI_STATUS_SIZE];
  DiImage *image;
  DiFile *file;
  int i, written;

  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  snprintf(path, sizeof path, "%s/consumer.d64", argv[1]);
  for (i = 0; i < kFileSize; ++i) data[i] = (unsigned char)(i * 7 + 3);

  image = di_create_image(path, DI_D64_SIZE);
  if (!image) return fail("create");
  di_rawname_from_name(name, "CONSUMER");
  di_format(image, name, (const unsigned char *)"CX");
  di_status(image, status);
  printf("formatted: %d blocks free, status %s\n", image->free_blocks, status);

  di_rawname_from_name(name, "HELLO");
  file = di_open(image, name, DI_FT_PRG, "wb");
  if (!file) return fail("open for writing");
  written = di_write(file, data, kFileSize);
  di_close(file);
  di_status(image, status);
  printf("wrote %d bytes: %d blocks free, status %s\n", written, image->free_blocks, status);
  if (written != kFileSize) return fail("write");
  if (read_back(image, data, "in memory")) return 1;
  di_free_image(image); /* dirty, so this writes DIR/consumer.d64 */

  image = di_load_image(path);
  if (!image) return fail("load the written image");
  printf("loaded %d bytes: %d blocks free\n", image->size, image->free_blocks);
  if (read_back(image, data, "from the file")) return 1;
  di_free_image(image);
  return 0;
}
