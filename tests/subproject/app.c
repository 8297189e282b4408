/* The parent project's program: kestrix's public header and generated
 * version header, and its library linked as diskimage::diskimage. Prints the
 * version as the macros give it, then formats a fresh image in memory. */
#include <stdio.h>

#include <diskimage/diskimage.h>

int main(void) {
  unsigned char name[16];
  DiImage *image = di_create_image("parent.d64", DI_D64_SIZE);
  if (!image) return 1;
  printf("%s %d.%d.%d %d\n", DI_VERSION, DI_VERSION_MAJOR, DI_VERSION_MINOR, DI_VERSION_PATCH,
         DI_VERNUM);
  di_rawname_from_name(name, "PARENT");
  di_format(image, name, (const unsigned char *)"PA");
  printf("%s, %d blocks free\n", ftype[DI_FT_PRG], image->free_blocks);
  di_free_image(image);
  return 0;
}
