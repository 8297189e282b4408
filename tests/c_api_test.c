/* The public header compiled as C99 and linked against the library. */
#include <stdio.h>
#include <string.h>

#include "diskimage/diskimage.h"

int main(void) {
  unsigned char name[16];
  char status[48];
  DiImage *image = di_create_image("c-api-test.d64", 174848);
  if (!image) return 1;
  di_rawname_from_name(name, "C DISK");
  di_format(image, name, (const unsigned char *)"42");
  if (image->free_blocks != 664 || di_status(image, status) != 0) return 2;
  if (strcmp(status, "00,ok,00,00") != 0) return 3;
  TsPair dir = di_get_dir_ts(image);
  if (dir.track != 18 || dir.sector != 1) return 4;
  image->dirty = 0; /* nothing to write back */
  di_free_image(image);
  puts("c api ok");
  return 0;
}
