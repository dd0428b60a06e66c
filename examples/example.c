/* A host of pxvlib10: loads an image, crops it and saves the crop as a BMP.
 * usage: example IN OUT [X Y WIDTH HEIGHT] */
#include <stdio.h>
#include <stdlib.h>
#include <pxvlib10.h>

int main(int argc, char **argv) {
  if (argc != 3 && argc != 7) {
    fprintf(stderr, "usage: example IN OUT [X Y WIDTH HEIGHT]\n");
    return 2;
  }
  int handle = IMG_decompress_bitmap(argv[1]); /* a handle, or a negative result code */
  if (handle < 0) return fprintf(stderr, "load: %d\n", handle), 1;
  if (argc == 7) IMG_set_croprect(handle, atoi(argv[3]), atoi(argv[4]), atoi(argv[5]), atoi(argv[6]));
  int rc = IMG_save_bitmap(handle, argv[2], PXV_SAVE_BMP); /* only the crop rectangle is saved */
  IMG_delete_bitmap(handle);
  if (rc < 0) return fprintf(stderr, "save: %d\n", rc), 1;
  return 0;
}
