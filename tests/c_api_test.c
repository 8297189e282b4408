/* The public header compiled as C99 and linked against the library. */
#include <stdio.h>
#include <string.h>

#include "diskimage/diskimage.h"

/* The six size constants against the geometry: 256 bytes a block, one more a
 * block with error information, and each creates an image of its kind. */
static int check_sizes(void) {
  static const struct {
    int size, err_size;
    ImageType type;
  } kinds[] = {{DI_D64_SIZE, DI_D64_ERR_SIZE, D64},
               {DI_D71_SIZE, DI_D71_ERR_SIZE, D71},
               {DI_D81_SIZE, DI_D81_ERR_SIZE, D81}};
  size_t k;
  for (k = 0; k < sizeof kinds / sizeof kinds[0]; ++k) {
    int blocks = 0, track, with_errors;
    for (track = 1; track <= di_tracks(kinds[k].type); ++track)
      blocks += di_sectors_per_track(kinds[k].type, track);
    if (kinds[k].size != 256 * blocks || kinds[k].err_size != kinds[k].size + blocks) return 1;
    for (with_errors = 0; with_errors <= 1; ++with_errors) {
      DiImage *image =
          di_create_image("c-api-test.img", with_errors ? kinds[k].err_size : kinds[k].size);
      int ok = image && image->type == kinds[k].type && (image->error_info != NULL) == with_errors;
      if (image) image->dirty = 0;
      di_free_image(image);
      if (!ok) return 1;
    }
  }
  return 0;
}

/* A D64 of 40 tracks, as a caller meets one: loaded from its bytes, told
 * apart by its type and its tracks, and not made by di_create_image(). */
static int check_long_d64(void) {
  static unsigned char bytes[DI_D64_40_SIZE];
  DiImage *image = di_load_image_from_memory("long.d64", bytes, sizeof bytes);
  TsPair last;
  int ok;
  last.track = 40;
  last.sector = 16;
  ok = image && image->type == D64_40 && di_tracks(image->type) == 40 &&
       di_ts_is_valid(image->type, last) && di_bam_layout(image) == DI_BAM_NONE &&
       !di_track_in_bam(image, 40) && di_create_image("x.d64", DI_D64_40_SIZE) == NULL;
  di_free_image(image);
  return !ok;
}

int main(void) {
  unsigned char name[16];
  char status[DI_STATUS_SIZE];
  DiImage *image;
  TsPair dir;
  if (check_sizes()) return 5;
  if (check_long_d64()) return 7;
  image = di_create_image("c-api-test.d64", DI_D64_SIZE);
  if (!image) return 1;
  di_rawname_from_name(name, "C DISK");
  di_format(image, name, (const unsigned char *)"42");
  if (image->free_blocks != 664 || di_status(image, status) != DI_STATUS_OK) return 2;
  if (strcmp(status, "00,ok,00,00") != 0) return 3;
  dir = di_get_dir_ts(image);
  if (dir.track != 18 || dir.sector != 1) return 4;
  if (strcmp(ftype[DI_FT_PRG], "prg") != 0 || strcmp(ftype[DI_FT_UNKNOWN], "???") != 0) return 6;
  image->dirty = 0; /* nothing to write back */
  di_free_image(image);
  puts("c api ok");
  return 0;
}
