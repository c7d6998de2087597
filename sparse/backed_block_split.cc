#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sparse/backed_block.h"

int backed_block_split(backed_block_list* bbl, backed_block* bb, unsigned int max_len) {
    uint32_t bs = bbl->block_size;
    uint32_t rounded = max_len / bs * bs;
    if (bb->len <= rounded) return 0;

    uint32_t block;
    int64_t offset = 0;
    if (__builtin_add_overflow(bb->block, rounded / bs, &block)) return -EINVAL;
    if ((bb->type == BACKED_BLOCK_FILE || bb->type == BACKED_BLOCK_FD) &&
        __builtin_add_overflow(bb->file_offset, int64_t(rounded), &offset))
        return -EINVAL;

    auto* second = static_cast<backed_block*>(malloc(sizeof(backed_block)));
    if (!second) return -ENOMEM;
    *second = *bb;
    if (bb->type == BACKED_BLOCK_FILE) {
        second->filename = strdup(bb->filename);
        if (!second->filename) {
            free(second);
            return -ENOMEM;
        }
    }
    second->len = bb->len - rounded;
    second->block = block;
    second->next = bb->next;
    switch (bb->type) {
        case BACKED_BLOCK_DATA:
            second->data = static_cast<const char*>(bb->data) + rounded;
            break;
        case BACKED_BLOCK_FILE:
        case BACKED_BLOCK_FD:
            second->file_offset = offset;
            break;
        case BACKED_BLOCK_FILL:
            break;
    }
    bb->next = second;
    bb->len = rounded;
    return 0;
}

void backed_block_list_move(backed_block_list* from, backed_block_list* to, backed_block* start,
                            backed_block* end) {
    if (!start) start = from->head;
    if (!end) {
        end = start;
        while (end && end->next) end = end->next;
    }
    if (!start || !end) return;

    from->last_queued = nullptr;
    to->last_queued = nullptr;

    if (from->head == start) {
        from->head = end->next;
    } else {
        backed_block* prev = from->head;
        while (prev && prev->next != start) prev = prev->next;
        // A start that is not in the source list is a caller error; moving it would tear
        // another list apart.
        if (!prev) return;
        prev->next = end->next;
    }

    if (!to->head) {
        to->head = start;
        end->next = nullptr;
    } else if (to->head->block > start->block) {
        // A run that belongs before everything in the destination goes in front, so the
        // ascending order holds (blocks handed back to an image after a failed cut do this).
        end->next = to->head;
        to->head = start;
    } else {
        backed_block* bb = to->head;
        while (bb->next && bb->next->block <= start->block) bb = bb->next;
        end->next = bb->next;
        bb->next = start;
    }
}
