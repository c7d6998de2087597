#include "sparse/backed_block.h"

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

backed_block_list* backed_block_list_new(unsigned int block_size) {
    auto* bbl = static_cast<backed_block_list*>(calloc(1, sizeof(backed_block_list)));
    if (bbl) bbl->block_size = block_size;
    return bbl;
}

void backed_block_list_destroy(backed_block_list* bbl) {
    if (!bbl) return;
    backed_block* bb = bbl->head;
    while (bb) {
        backed_block* next = bb->next;
        backed_block_destroy(bb);
        bb = next;
    }
    free(bbl);
}

void backed_block_destroy(backed_block* bb) {
    if (bb->type == BACKED_BLOCK_FILE) free(bb->filename);
    free(bb);
}

uint32_t bb_max_len(uint32_t block_size, bb_type type) {
    uint32_t room = type == BACKED_BLOCK_FILL ? UINT32_MAX : UINT32_MAX - 12;
    return uint32_t(bb_div(room, block_size) * block_size);
}

backed_block* backed_block_iter_new(backed_block_list* bbl) { return bbl->head; }
backed_block* backed_block_iter_next(backed_block* bb) { return bb->next; }

unsigned int backed_block_block(backed_block* bb) { return bb->block; }
unsigned int backed_block_len(backed_block* bb) { return bb->len; }
bb_type backed_block_type(backed_block* bb) { return bb->type; }

const void* backed_block_data(backed_block* bb) {
    assert(bb->type == BACKED_BLOCK_DATA);
    return bb->data;
}

const char* backed_block_filename(backed_block* bb) {
    assert(bb->type == BACKED_BLOCK_FILE);
    return bb->filename;
}

int backed_block_fd(backed_block* bb) {
    assert(bb->type == BACKED_BLOCK_FD);
    return bb->fd;
}

int64_t backed_block_file_offset(backed_block* bb) {
    assert(bb->type == BACKED_BLOCK_FILE || bb->type == BACKED_BLOCK_FD);
    return bb->file_offset;
}

uint32_t backed_block_fill_val(backed_block* bb) {
    assert(bb->type == BACKED_BLOCK_FILL);
    return bb->fill_val;
}

// Joins b into a when b continues a exactly; -EINVAL (nothing changed) otherwise.
static int merge_bb(backed_block_list* bbl, backed_block* a, backed_block* b) {
    if (!a || !b) return -EINVAL;
    if (a->block >= b->block) return -EINVAL;
    if (a->type != b->type) return -EINVAL;
    // Only a run of whole blocks can be continued: behind a partial last block the next run's
    // bytes would land at the wrong place of the image.
    uint32_t bs = bbl->block_size;
    uint64_t a_blocks = bb_div(a->len, bs);
    if (a_blocks * bs != a->len) return -EINVAL;
    if (a->block + a_blocks != b->block) return -EINVAL;
    // The joined run must still be encodable with 32-bit lengths; longer stretches stay apart.
    if (uint64_t(a->len) + bb_blocks(b->len, bs) * bs > bb_max_len(bs, a->type)) return -EINVAL;

    int64_t end;
    switch (a->type) {
        case BACKED_BLOCK_DATA:
            return -EINVAL;
        case BACKED_BLOCK_FILE:
            if (strcmp(a->filename, b->filename) != 0) return -EINVAL;
            if (__builtin_add_overflow(a->file_offset, int64_t(a->len), &end)) return -EINVAL;
            if (end != b->file_offset) return -EINVAL;
            break;
        case BACKED_BLOCK_FD:
            if (a->fd != b->fd) return -EINVAL;
            if (__builtin_add_overflow(a->file_offset, int64_t(a->len), &end)) return -EINVAL;
            if (end != b->file_offset) return -EINVAL;
            break;
        case BACKED_BLOCK_FILL:
            if (a->fill_val != b->fill_val) return -EINVAL;
            break;
    }

    a->len += b->len;
    a->next = b->next;
    backed_block_destroy(b);
    return 0;
}

static int queue_bb(backed_block_list* bbl, backed_block* new_bb) {
    if (!bbl->head) {
        bbl->head = new_bb;
        return 0;
    }
    if (bbl->head->block > new_bb->block) {
        new_bb->next = bbl->head;
        bbl->head = new_bb;
        return 0;
    }

    backed_block* bb = bbl->head;
    if (bbl->last_queued && bbl->last_queued->block < new_bb->block) bb = bbl->last_queued;
    bbl->last_queued = new_bb;

    while (bb->next && bb->next->block < new_bb->block) bb = bb->next;

    new_bb->next = bb->next;
    bb->next = new_bb;

    merge_bb(bbl, new_bb, new_bb->next);
    if (merge_bb(bbl, bb, new_bb) == 0) bbl->last_queued = bb;
    return 0;
}

static backed_block* new_block(bb_type type, unsigned int len, unsigned int block) {
    auto* bb = static_cast<backed_block*>(calloc(1, sizeof(backed_block)));
    if (!bb) return nullptr;
    bb->type = type;
    bb->len = len;
    bb->block = block;
    return bb;
}

int backed_block_add_data(backed_block_list* bbl, const void* data, unsigned int len,
                          unsigned int block) {
    backed_block* bb = new_block(BACKED_BLOCK_DATA, len, block);
    if (!bb) return -ENOMEM;
    bb->data = data;
    return queue_bb(bbl, bb);
}

int backed_block_add_fill(backed_block_list* bbl, unsigned int fill_val, unsigned int len,
                          unsigned int block) {
    backed_block* bb = new_block(BACKED_BLOCK_FILL, len, block);
    if (!bb) return -ENOMEM;
    bb->fill_val = fill_val;
    return queue_bb(bbl, bb);
}

int backed_block_add_file(backed_block_list* bbl, const char* filename, int64_t offset,
                          unsigned int len, unsigned int block) {
    backed_block* bb = new_block(BACKED_BLOCK_FILE, len, block);
    if (!bb) return -ENOMEM;
    bb->filename = strdup(filename);
    if (!bb->filename) {
        free(bb);
        return -ENOMEM;
    }
    bb->file_offset = offset;
    return queue_bb(bbl, bb);
}

int backed_block_add_fd(backed_block_list* bbl, int fd, int64_t offset, unsigned int len,
                        unsigned int block) {
    backed_block* bb = new_block(BACKED_BLOCK_FD, len, block);
    if (!bb) return -ENOMEM;
    bb->fd = fd;
    bb->file_offset = offset;
    return queue_bb(bbl, bb);
}
