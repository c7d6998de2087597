// The image-type probe of the partition command: is this file a sparse image? It answers as the
// import would, from the chunk headers alone, so a crafted file of millions of chunks costs a
// read of the file and a fixed amount of memory.
#include <cstdio>

#include "sparse/sparse.h"
#include "sparse/sparse_scan.h"

int sparse_img_probe(int fd) {
    sparse_scan_result scan;
    if (sparse_file_scan(fd, &scan) != 0) return 0;
    fprintf(stderr, "sparse format detected\n");
    return 1;
}
