// Runs whose bytes live in files: streamed through one bounded piece buffer, so that a run of
// gigabytes costs a megabyte of memory; the encoded bytes are the same as for one big read.
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "sparse/aligned_buf.h"
#include "sparse/output_file.h"
#include "util/file_io.h"
#include "util/platform.h"

// The library's result convention over the product's whole-count read.
int read_all(int fd, void* buf, size_t n) {
    long long got = read_full(fd, buf, n);
    if (got < 0) return -errno;
    return got == (long long)n ? 0 : -EINVAL;
}

// An image of many small raw chunks makes many small runs lying close together in its file:
// they are served from one read-ahead window rather than a seek and a read each. The window
// starts at a page and doubles while the runs go straight on through the file, so that a few
// small runs cost small reads and a small buffer, and a million of them few reads.
constexpr size_t RUN_WINDOW = 64 << 10;
constexpr size_t RUN_WINDOW_FIRST = 4 << 10;

static int grow_io_buf(output_file* out, size_t want) {
    if (out->io_buf_len >= want) return 0;
    aligned_buf_free(out->io_buf);
    out->io_buf_len = 0;
    out->win_have = 0;
    // Runs only grow the buffer: a small one is made for small runs, one piece at most.
    out->io_buf = aligned_buf_alloc(want);
    if (!out->io_buf) return -ENOMEM;
    out->io_buf_len = want;
    return 0;
}

// Bytes the window reads for a run at `offset` that does not lie wholly inside it.
static size_t window_read_len(output_file* out, int fd, int64_t offset) {
    const int64_t end = out->win_off + int64_t(out->win_have);
    const bool straight_on = out->win_fd == fd && out->win_have > 0 && offset >= out->win_off &&
                             offset < end + int64_t(RUN_WINDOW);
    out->win_next = straight_on ? std::min(2 * out->win_next, RUN_WINDOW) : RUN_WINDOW_FIRST;
    return out->win_next;
}

// A run of at most RUN_WINDOW bytes, from the window (read anew when the run lies outside it),
// or with `alone` from a read of its own bytes (nothing else will be read from the descriptor).
static int write_small_fd_chunk(output_file* out, unsigned int len, int fd, int64_t offset,
                                bool alone) {
    const bool inside = out->win_fd == fd && offset >= out->win_off &&
                        uint64_t(offset - out->win_off) + len <= out->win_have;
    if (!inside) {
        const size_t want = std::max<size_t>(alone ? 0 : window_read_len(out, fd, offset), len);
        int ret = grow_io_buf(out, want);
        if (ret < 0) return ret;
        out->win_have = 0;
        long long got = read_full_at(fd, out->io_buf, (long long)want, offset);
        if (got < 0) return -errno;
        if (got < (long long)len) return -EINVAL;  // read_all's end-of-file result
        out->win_fd = fd;
        out->win_off = offset;
        out->win_have = size_t(got);
    }
    const char* data = static_cast<const char*>(out->io_buf) + (offset - out->win_off);
    return out->chunk_ops->write_data_chunk(out, len, data);
}

// A run from a descriptor (`alone`: opened for this run only).
static int write_run_chunk(output_file* out, unsigned int len, int fd, int64_t offset,
                           bool alone) {
    if (len <= RUN_WINDOW && offset >= 0) return write_small_fd_chunk(out, len, fd, offset, alone);
    int ret = grow_io_buf(out, std::min<size_t>(len, SPARSE_IO_PIECE));
    if (ret < 0) return ret;
    out->win_have = 0;  // the pieces below overwrite the window
    if (lseek(fd, offset, SEEK_SET) < 0) return -errno;

    // The first piece is read before anything is written, so an unreadable run fails cleanly.
    uint32_t piece = uint32_t(std::min<size_t>(len, SPARSE_IO_PIECE));
    ret = read_all(fd, out->io_buf, piece);
    if (ret < 0) return ret;
    ret = out->chunk_ops->begin_data_chunk(out, len);
    if (ret < 0) return ret;

    uint32_t left = len;
    while (true) {
        ret = out->chunk_ops->write_data_piece(out, out->io_buf, piece);
        if (ret < 0) return ret;
        left -= piece;
        if (left == 0) break;
        piece = uint32_t(std::min<size_t>(left, SPARSE_IO_PIECE));
        ret = read_all(fd, out->io_buf, piece);
        if (ret < 0) return ret;
    }
    return out->chunk_ops->end_data_chunk(out, len);
}

int write_fd_chunk(output_file* out, unsigned int len, int fd, int64_t offset) {
    return write_run_chunk(out, len, fd, offset, false);
}

int write_file_chunk(output_file* out, unsigned int len, const char* file, int64_t offset) {
    int fd = open_host_file(file, O_RDONLY);
    if (fd < 0) return -errno;
    int ret = write_run_chunk(out, len, fd, offset, true);
    close(fd);
    // The descriptor's number may come back for another file.
    out->win_have = 0;
    return ret;
}
