// Cutting an image into pieces whose sparse encodings each fit a byte limit.
#include <cerrno>
#include <climits>

#include "sparse/output_file.h"
#include "sparse/sparse_file.h"
#include "sparse/sparse_format.h"

// Room a piece reserves besides its runs: the sparse header, the headers of a trailing
// don't-care chunk and of a CRC32 chunk, and the CRC value.
constexpr uint32_t PIECE_OVERHEAD = SPARSE_HEADER_LEN + 2 * CHUNK_HEADER_LEN + 4;

// The same for an image of `s`'s length: a trailing stretch longer than one chunk can hold
// takes several don't-care headers.
static uint64_t piece_overhead(const sparse_file* s) {
    uint64_t skips = skip_chunk_count(sparse_file_blocks(s));
    return PIECE_OVERHEAD + (skips > 1 ? skips - 1 : 0) * CHUNK_HEADER_LEN;
}

// Moves runs from the front of `from` into `to` while the encoding fits max_len, splitting the
// run that does not fit where that is worth it. *more tells whether runs remain in `from`.
static int move_chunks_up_to_len(sparse_file* from, sparse_file* to, unsigned int max_len,
                                 bool* more) {
    const uint32_t budget = uint32_t(max_len - piece_overhead(to));
    const uint32_t bs = to->block_size;
    *more = false;

    int64_t count = 0;
    output_file* out =
        output_file_open_callback(output_count_write, &count, bs, to->len, false, true, 0, false);
    if (!out) return -ENOMEM;

    int64_t used = 0;
    uint64_t last = 0;
    backed_block* last_taken = nullptr;
    int ret = 0;
    for (backed_block* bb = backed_block_iter_new(from->block_list); bb;
         bb = backed_block_iter_next(bb)) {
        const uint64_t gap_chunks = bb->block > last ? skip_chunk_count(bb->block - last) : 0;
        count = int64_t(gap_chunks) * CHUNK_HEADER_LEN;
        last = bb->block + bb_blocks(bb->len, bs);

        ret = sparse_file_write_block(out, bb);
        if (ret) break;

        if (used + count > budget) {
            // The split run's header; the first header of its gap fits the room kept for a
            // CRC32 chunk, which pieces do not carry, but the headers of a gap longer than one
            // chunk can hold do not.
            used += int64_t(gap_chunks > 1 ? gap_chunks : 1) * CHUNK_HEADER_LEN;
            // Signed: with the piece nearly full the room left can be below zero, and it must
            // then end the piece rather than let the whole run in.
            int64_t room = int64_t(budget) - used;
            // Split only where at least one whole block fits, so that no empty run is left
            // behind starting at the same block as its second half.
            if ((!last_taken || room > budget / 8) && room >= bs) {
                ret = backed_block_split(from->block_list, bb, uint32_t(room));
                if (ret) break;
                last_taken = bb;
            }
            break;
        }
        used += count;
        last_taken = bb;
    }

    // Every piece takes at least one block at the limits allowed; should none be taken, the
    // cut would never end.
    if (ret == 0 && !last_taken && from->block_list->head) ret = -EINVAL;
    if (ret == 0 && last_taken)
        backed_block_list_move(from->block_list, to->block_list, nullptr, last_taken);
    // Whether runs remain is judged after the move: a run that did not fit may still have gone
    // in whole, and an empty piece after it would be counted (and sent) for nothing.
    *more = ret == 0 && from->block_list->head != nullptr;
    output_file_close(out);
    return ret;
}

static void move_all(sparse_file* from, sparse_file* to) {
    backed_block_list_move(from->block_list, to->block_list, nullptr, nullptr);
}

int sparse_file_resparse(sparse_file* in, unsigned int max_len, sparse_file** out,
                         int out_count) {
    // Below this a piece cannot take one whole block, and cutting would never end.
    if (uint64_t(max_len) < uint64_t(in->block_size) + 2 * piece_overhead(in) - PIECE_OVERHEAD +
                                CHUNK_HEADER_LEN)
        return -EINVAL;
    if (out_count < 0) out_count = 0;

    sparse_file* tmp = sparse_file_new(in->block_size, in->len);
    if (!tmp) return -ENOMEM;

    int c = 0, ret = 0;
    bool more;
    do {
        sparse_file* s = sparse_file_new(in->block_size, in->len);
        if (!s) {
            ret = -ENOMEM;
            break;
        }
        ret = move_chunks_up_to_len(in, s, max_len, &more);
        if (ret == 0 && c == INT_MAX) ret = -EINVAL;
        if (ret) {
            move_all(s, in);
            sparse_file_destroy(s);
            break;
        }
        if (c < out_count) {
            out[c] = s;
        } else {
            move_all(s, tmp);
            sparse_file_destroy(s);
        }
        c++;
    } while (more);

    // A failed cut hands nothing out: the image gets all its runs back.
    if (ret) {
        for (int i = 0; i < c && i < out_count; i++) {
            move_all(out[i], tmp);
            sparse_file_destroy(out[i]);
            out[i] = nullptr;
        }
    }
    move_all(tmp, in);
    sparse_file_destroy(tmp);
    return ret ? ret : c;
}
