// The image object behind the public handle.
#pragma once
#include <cstdint>

#include "sparse/backed_block.h"
#include "sparse/sparse.h"

struct output_file;

struct sparse_file {
    uint32_t block_size;
    int64_t len;
    bool verbose;
    backed_block_list* block_list;
};

// Encodes one run (DATA, FILE, FD or FILL) into the output.
int sparse_file_write_block(output_file* out, backed_block* bb);

// Whole blocks the image spans (its last block possibly in part).
inline uint64_t sparse_file_blocks(const sparse_file* s) {
    return (uint64_t(s->len) + s->block_size - 1) / s->block_size;
}
