// The chunk walk of the import, minus the runs, over the reader's buffered source.
#include "sparse/sparse_scan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "sparse/sparse_format.h"
#include "sparse/sparse_read.h"
#include "sparse/sparse_source.h"
#include "util/string_printf.h"

using veltrop::base::StringPrintf;

namespace {

bool header_ok(const sparse_header& h) {
    return h.magic == SPARSE_HEADER_MAGIC && h.major_version == SPARSE_MAJOR_VERSION &&
           h.file_header_size >= SPARSE_HEADER_LEN && h.chunk_header_size >= CHUNK_HEADER_LEN;
}

// The object the import makes from the first header: its block size and length.
bool object_ok(const sparse_header& h) {
    const uint64_t len = uint64_t(h.total_blocks) * h.block_size;
    return sparse_block_size_valid(h.block_size) && len <= SPARSE_IMPORT_MAX_LEN &&
           len <= uint64_t(INT64_MAX) - UINT32_MAX;
}

struct scan_state {
    sparse_source* r;
    int64_t pos;  // where the chunk's payload starts; moved past what the chunk uses
    uint32_t block_size;
    uint64_t blocks_left;
};

// One chunk as the import's chunk step sees it: the blocks it covers, or a negative error.
int64_t scan_chunk(scan_state* st, const chunk_header& c, uint16_t chunk_header_size) {
    if (c.chunk_bytes < chunk_header_size) return -EINVAL;
    const uint32_t payload = c.chunk_bytes - chunk_header_size;
    const bool covers = c.chunk_type == CHUNK_RAW || c.chunk_type == CHUNK_FILL ||
                        c.chunk_type == CHUNK_DONT_CARE;
    if (covers && (c.chunk_blocks > INT32_MAX || c.chunk_blocks > st->blocks_left))
        return -EINVAL;
    switch (c.chunk_type) {
        case CHUNK_RAW:
            if (payload % st->block_size != 0 ||
                payload != uint64_t(c.chunk_blocks) * st->block_size)
                return -EINVAL;
            st->pos += payload;
            return c.chunk_blocks;
        case CHUNK_FILL:
        case CHUNK_CRC32:
            if (payload != 4) return -EINVAL;
            if (!sparse_source_bytes(st->r, st->pos, 4)) return st->r->error;
            st->pos += 4;
            return c.chunk_type == CHUNK_FILL ? c.chunk_blocks : 0;
        case CHUNK_DONT_CARE:
            return payload == 0 ? int64_t(c.chunk_blocks) : -EINVAL;
        default:
            st->pos += payload;
            return 0;
    }
}

// Fill and don't-care chunks with plain 12-byte headers, lying in the buffer one after
// another: the bulk of a crafted image, walked without leaving registers. Stops before the
// first chunk that needs more (another type, a check that fails, the buffer's end); the
// number of chunks passed.
uint32_t scan_plain_run(scan_state* st, uint32_t max_chunks) {
    const sparse_source* r = st->r;
    if (st->pos < r->buf_pos || uint64_t(st->pos - r->buf_pos) > r->have) return 0;
    const uint8_t* p = r->buf + (st->pos - r->buf_pos);
    const uint8_t* const end = r->buf + r->have;
    uint64_t left = st->blocks_left;
    uint32_t n = 0;
    while (n < max_chunks && end - p >= CHUNK_HEADER_LEN + 4) {
        const chunk_header c = chunk_header_decode(p);
        if (c.chunk_blocks > INT32_MAX || c.chunk_blocks > left) break;
        if (c.chunk_type == CHUNK_FILL && c.chunk_bytes == CHUNK_HEADER_LEN + 4)
            p += CHUNK_HEADER_LEN + 4;
        else if (c.chunk_type == CHUNK_DONT_CARE && c.chunk_bytes == CHUNK_HEADER_LEN)
            p += CHUNK_HEADER_LEN;
        else
            break;
        left -= c.chunk_blocks;
        n++;
    }
    st->pos = r->buf_pos + (p - r->buf);
    st->blocks_left = left;
    return n;
}

// The words for what the import refuses, for an image that looks like a sparse one. Chunks are
// counted from 0, as "vsimg info" lists them.
// A failed read is named as one; the end of the file inside the chunk as `short_text`.
std::string chunk_text(uint32_t i, uint32_t count, int error, const char* short_text) {
    if (error != -EINVAL)
        return StringPrintf("chunk %u of %u cannot be read (%s)", i, count, strerror(-error));
    return StringPrintf("chunk %u of %u %s", i, count, short_text);
}

// The file ended (or failed) where chunk i's header was to be read at `pos`: a file that ends
// before `pos` cuts the chunk before it short.
std::string header_read_fault(const sparse_source& r, int64_t pos, uint32_t i, uint32_t count) {
    if (r.error == -EINVAL && i > 0 && r.buf_pos + int64_t(r.have) < pos)
        return chunk_text(i - 1, count, r.error, "is cut short");
    return chunk_text(i, count, r.error, "is cut short in its header");
}

std::string header_fault(const sparse_header& h) {
    if (h.major_version != SPARSE_MAJOR_VERSION)
        return StringPrintf("its major version is %u, not %u", h.major_version, SPARSE_MAJOR_VERSION);
    if (!header_ok(h))
        return StringPrintf("its header sizes %u and %u are below %u and %u", h.file_header_size,
                           h.chunk_header_size, SPARSE_HEADER_LEN, CHUNK_HEADER_LEN);
    if (!sparse_block_size_valid(h.block_size))
        return StringPrintf("its block size %u is not a non-zero multiple of 4", h.block_size);
    return StringPrintf("it expands to %u blocks of %u bytes, more than 16 TiB", h.total_blocks,
                       h.block_size);
}

// Which of the checks of scan_chunk the chunk `c` failed, scanned from the state `st`.
std::string chunk_fault(const scan_state& st, const chunk_header& c, const sparse_header& h,
                        uint32_t i, int error) {
    const uint32_t n = h.chunk_count;
    if (c.chunk_bytes < h.chunk_header_size)
        return StringPrintf("chunk %u of %u says it takes %u bytes, less than its header", i, n,
                           c.chunk_bytes);
    const uint32_t payload = c.chunk_bytes - h.chunk_header_size;
    const bool covers = c.chunk_type == CHUNK_RAW || c.chunk_type == CHUNK_FILL ||
                        c.chunk_type == CHUNK_DONT_CARE;
    if (covers && (c.chunk_blocks > INT32_MAX || c.chunk_blocks > st.blocks_left))
        return StringPrintf("chunk %u of %u covers %u blocks, more than the %llu the image has left",
                           i, n, c.chunk_blocks, (unsigned long long)st.blocks_left);
    if (c.chunk_type == CHUNK_RAW)
        return StringPrintf("chunk %u of %u is a raw chunk with %u bytes of data for %u blocks of %u bytes",
                           i, n, payload, c.chunk_blocks, st.block_size);
    if (c.chunk_type == CHUNK_DONT_CARE)
        return StringPrintf("chunk %u of %u is a don't-care chunk with %u bytes of data", i, n, payload);
    if (payload != 4)
        return StringPrintf("chunk %u of %u is a %s chunk with %u bytes of data instead of 4", i, n,
                           c.chunk_type == CHUNK_FILL ? "fill" : "CRC32", payload);
    return chunk_text(i, n, error, "is cut short");
}

int scan_chunks(sparse_source* r, const sparse_header& first, sparse_scan_result* result,
                std::string* why) {
    const uint8_t* p = sparse_source_bytes(r, 0, SPARSE_HEADER_LEN);
    if (!p) {
        if (why) *why = r->error == -EINVAL ? "its header is cut short" : strerror(-r->error);
        return r->error;
    }
    const sparse_header h = sparse_header_decode(p);
    if (!header_ok(h)) {
        if (why) *why = header_fault(h);
        return -EINVAL;
    }

    scan_state st = {r, h.file_header_size, first.block_size, h.total_blocks};
    for (uint32_t i = 0; i < h.chunk_count; i++) {
        if (h.chunk_header_size == CHUNK_HEADER_LEN) {
            i += scan_plain_run(&st, h.chunk_count - i);
            if (i == h.chunk_count) break;
        }
        p = sparse_source_bytes(r, st.pos, CHUNK_HEADER_LEN);
        if (!p) {
            if (why) *why = header_read_fault(*r, st.pos, i, h.chunk_count);
            return r->error;
        }
        const chunk_header c = chunk_header_decode(p);
        const scan_state before = st;
        st.pos += h.chunk_header_size;
        int64_t blocks = scan_chunk(&st, c, h.chunk_header_size);
        if (blocks < 0) {
            if (why) *why = chunk_fault(before, c, h, i, int(blocks));
            return int(blocks);
        }
        st.blocks_left -= uint64_t(blocks);
    }
    if (st.blocks_left != 0) {
        if (why)
            *why = StringPrintf("its chunks cover %llu blocks, but its header says %u",
                               (unsigned long long)(h.total_blocks - st.blocks_left), h.total_blocks);
        return -EINVAL;
    }
    *result = {first.block_size, h.total_blocks, h.chunk_count, st.pos};
    return 0;
}

// The header where the import checks it, then the chunks from the start of the image.
int scan_source(sparse_source* src, int64_t start, sparse_scan_result* result, std::string* why) {
    const uint8_t* p = sparse_source_bytes(src, start, SPARSE_HEADER_LEN);
    if (!p) {
        if (why) *why = src->error == -EINVAL ? "its header is cut short" : strerror(-src->error);
        return src->error;
    }
    const sparse_header first = sparse_header_decode(p);
    if (!header_ok(first) || !object_ok(first)) {
        if (why) *why = first.magic == SPARSE_HEADER_MAGIC ? header_fault(first) : "no sparse magic";
        return -EINVAL;
    }
    return scan_chunks(src, first, result, why);
}

}  // namespace

int sparse_file_scan(int fd, sparse_scan_result* result) {
    return sparse_file_scan_explained(fd, result, nullptr);
}

int sparse_file_scan_explained(int fd, sparse_scan_result* result, std::string* why) {
    const off_t start = lseek(fd, 0, SEEK_CUR);
    if (start < 0) return -errno;
    sparse_source src;
    int ret = sparse_source_open_fd(&src, fd);
    if (ret == 0) ret = scan_source(&src, start, result, why);
    sparse_source_close(&src);
    return ret;
}

int sparse_buf_scan(const void* data, size_t len, sparse_scan_result* result) {
    sparse_source src;
    sparse_source_open_mem(&src, data, len);
    return scan_source(&src, 0, result, nullptr);
}
