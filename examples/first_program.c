/* Makes hello.d64: a formatted D64 holding one program file, HELLO. */
#include <stdio.h>

#include <diskimage/diskimage.h>

int main(void) {
  /* The data is written as given, so a PRG file starts with its load address,
   * low byte first: here 0x0801, where BASIC programs start. Then the BASIC
   * line 10 PRINT "HELLO" (the address of the next line, the line number, the
   * PRINT token, the text, a zero) and two zeros that end the program. */
  static const unsigned char program[] = {
      0x01, 0x08, 0x0e, 0x08, 0x0a, 0x00, 0x99, '"', 'H', 'E', 'L', 'L', 'O', '"', 0x00, 0x00, 0x00,
  };
  unsigned char name[16];
  char status[DI_STATUS_SIZE];
  DiImage *image = di_create_image("hello.d64", DI_D64_SIZE);
  DiFile *file;
  int written = 0, saved;
  if (!image) return 1;

  di_rawname_from_name(name, "FIRST DISK"); /* upper case: lists as "first disk" */
  di_format(image, name, (const unsigned char *)"01");
  di_rawname_from_name(name, "HELLO");
  file = di_open(image, name, DI_FT_PRG, "wb");
  if (file) {
    written = di_write(file, program, (int)sizeof program);
    di_close(file); /* writes the last block and marks the file closed */
  }
  di_status(image, status);
  printf("wrote %d of %d bytes, status %s\n", written, (int)sizeof program, status);

  di_sync(image); /* writes hello.d64; dirty stays 1 if that failed */
  saved = !image->dirty;
  di_free_image(image);
  return written == (int)sizeof program && saved ? 0 : 1;
}
