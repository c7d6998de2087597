// The runs of an image: each backed_block says where the bytes of a stretch of blocks come from
// (caller memory, a named file, an open descriptor, or a repeated 32-bit value), without loading
// them. A backed_block_list keeps its runs in ascending block order.
#pragma once
#include <cstdint>

enum bb_type {
    BACKED_BLOCK_DATA = 0,
    BACKED_BLOCK_FILE = 1,
    BACKED_BLOCK_FD = 2,
    BACKED_BLOCK_FILL = 3,
};

struct backed_block {
    uint32_t block;
    uint32_t len;
    bb_type type;
    const void* data;
    char* filename;
    int fd;
    int64_t file_offset;
    uint32_t fill_val;
    backed_block* next;
};

struct backed_block_list {
    backed_block* head;
    backed_block* last_queued;
    uint32_t block_size;
};

backed_block_list* backed_block_list_new(unsigned int block_size);
void backed_block_list_destroy(backed_block_list* bbl);

int backed_block_add_data(backed_block_list* bbl, const void* data, unsigned int len,
                          unsigned int block);
int backed_block_add_fill(backed_block_list* bbl, unsigned int fill_val, unsigned int len,
                          unsigned int block);
int backed_block_add_file(backed_block_list* bbl, const char* filename, int64_t offset,
                          unsigned int len, unsigned int block);
int backed_block_add_fd(backed_block_list* bbl, int fd, int64_t offset, unsigned int len,
                        unsigned int block);

backed_block* backed_block_iter_new(backed_block_list* bbl);
backed_block* backed_block_iter_next(backed_block* bb);

unsigned int backed_block_block(backed_block* bb);
unsigned int backed_block_len(backed_block* bb);
bb_type backed_block_type(backed_block* bb);
const void* backed_block_data(backed_block* bb);
const char* backed_block_filename(backed_block* bb);
int backed_block_fd(backed_block* bb);
int64_t backed_block_file_offset(backed_block* bb);
uint32_t backed_block_fill_val(backed_block* bb);

void backed_block_destroy(backed_block* bb);

// Cuts bb after max_len bytes (rounded down to whole blocks); the rest becomes the next run.
int backed_block_split(backed_block_list* bbl, backed_block* bb, unsigned int max_len);

// Moves the runs start..end (none: from the head, to the last) from one list to the other,
// keeping their order and merging nothing.
void backed_block_list_move(backed_block_list* from, backed_block_list* to, backed_block* start,
                            backed_block* end);

// n / block_size; block sizes are nearly always powers of two, and a 64-bit division costs
// more than the rest of encoding a small chunk.
inline uint64_t bb_div(uint64_t n, uint32_t block_size) {
    return (block_size & (block_size - 1)) == 0 ? n >> __builtin_ctz(block_size) : n / block_size;
}

// Number of blocks a run of len bytes touches (the last one possibly in part).
inline uint64_t bb_blocks(uint64_t len, uint32_t block_size) {
    return bb_div(len + block_size - 1, block_size);
}

// The longest run, in whole blocks, whose encoding still fits the 32-bit lengths of the format:
// a raw chunk counts its 12-byte header in chunk_bytes, a fill run only its own length.
uint32_t bb_max_len(uint32_t block_size, bb_type type);
