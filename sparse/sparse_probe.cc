// The image-type probe of the partition command: is this file a sparse image?
#include <cstdio>

#include "sparse/sparse.h"

int sparse_img_probe(int fd) {
    sparse_file* s = sparse_file_import(fd, false, false);
    if (!s) return 0;
    sparse_file_destroy(s);
    fprintf(stderr, "sparse format detected\n");
    return 1;
}
