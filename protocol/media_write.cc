#include "protocol/media_write.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <unistd.h>

#include "protocol/exchange.h"
#include "protocol/media_chunk.h"
#include "sparse/sparse_stream.h"
#include "util/add_sum.h"
#include "util/byte_order.h"
#include "util/file_io.h"
#include "util/log.h"
#include "util/platform.h"
#include "util/progress.h"
#include "util/string_printf.h"

using veltrop::base::StringPrintf;

namespace {

// The exchange bound is 32 bits wide; an image of 4 GiB or more must still let every request
// through that the 2 GiB rule of the exchange allows, so the bound saturates instead of wrapping.
unsigned request_bound(long long size) {
    if (size <= 0) return 0;
    return size > 0xFFFFFFFFll ? 0xFFFFFFFFu : (unsigned)size;
}

// Where the requested bytes come from: `size` bytes of an open file from `start` on, read at
// their place without moving the file position, or the sparse encoding of a raw image, made up
// at the request's offset.
struct Source {
    int fd = -1;
    long long start = 0;
    long long size = 0;
    const sparse_stream* stream = nullptr;
    // The image as it was when its size was taken; none: not checked.
    const FileIdentity* identity = nullptr;
};

// 0 while the image is the one whose size was announced, else the failure: bytes of two
// different images, or a short or padded one, must never count as one whole image.
int check_unchanged(const Source& src) {
    if (!src.identity) return 0;
    const int fd = src.stream ? src.stream->fd : src.fd;
    FileIdentity now;
    if (input_identity(fd, &now) == 0 && same_identity(now, *src.identity)) return 0;
    return fb_fail(-262, "image changed during the burn",
                   "the image changed during the burn (its size, times or file are no longer those "
                   "it had when it was opened): the partition holds neither the old image nor the "
                   "new one whole; burn it again\n");
}

// Reads `n` bytes at `at` of the data: the count read, or -1 (errno set).
long long read_source(const Source& src, unsigned char* buf, unsigned n, long long at) {
    if (!src.stream) {
        long long pos;
        if (__builtin_add_overflow(src.start, at, &pos)) {
            errno = EOVERFLOW;
            return -1;
        }
        return read_full_at(src.fd, buf, n, pos);
    }
    int r = sparse_stream_read(src.stream, at, buf, n);
    if (r < 0) {
        errno = -r;
        return -1;
    }
    return n;
}

// Sends one request of `len` bytes from `offset` of the data, and its checksum.
int send_request(Transport* transport, const Source& src, unsigned char* buf, unsigned len,
                 long long offset, bool* direction) {
    uint32_t sum = 0;
    for (unsigned left = len; left > 0;) {
        unsigned n = left < kMediaChunk ? left : kMediaChunk;
        long long got = read_source(src, buf, n, offset + (len - left));
        if (got != (long long)n) {
            return fb_fail(-260,
                           StringPrintf("image read failed (%s)",
                                        got < 0 ? strerror(errno) : "file too short"),
                           "Fail in read img,want %d but %d\n", (int)n, (int)got);
        }
        // Every chunk but the last is a multiple of 4 bytes, so the per-chunk sums add up to the
        // sum over the whole request.
        sum += add_sum(buf, n);
        if (_command_data(transport, buf, n, direction) < 0) {
            qrx_log_out("ERR[VXN]", "Fail in send data at len 0x%x\n", n);
            return -260;
        }
        left -= n;
    }
    unsigned char le[4];
    put_le32(le, sum);
    if (_command_data(transport, le, sizeof(le), direction) < 0) {
        qrx_log_out("ERR[VXN]", "Fail in send addsum for transport\n");
        return -1;
    }
    return 0;
}

// Checks a data request against the data size: 0 when it may be served, else the failure.
int check_request(Transport* transport, const Source& src, unsigned len, long long offset,
                  bool direction) {
    // A device-to-host phase has no place in a write: serving it would read the board's bytes
    // over the chunk buffer and the checksum. The board waits to send, so the link is dropped.
    if (!direction) {
        int r = fb_fail(-292, "protocol error: DATAIN during media write",
                        "protocol err, dir changed\n");
        transport->Close();
        return r;
    }
    if (offset < 0) {
        return fb_fail(-297, "negative data offset requested", "illegle negative fileoffset\n");
    }
    // Only the data size from the starting position may be sent; the checks are written so
    // that no sum of board-given numbers can overflow.
    const long long size = src.size;
    if (offset > size || (long long)len > size - offset) {
        long long avail = offset > size ? 0 : size - offset;
        return fb_fail(-260,
                       StringPrintf("request 0x%x at 0x%llx beyond data size 0x%llx", len, offset,
                                    size),
                       "Fail in read img,want %d but %d\n", (int)len, (int)avail);
    }
    return 0;
}

// The cycles of one write: command, data request, the bytes and their checksum, closing reply.
int mwrite_cycles(Transport* transport, const Source& src, const char* command) {
    MediaChunk chunk;
    if (!chunk.data()) return fb_fail(-272, "out of memory", "Fail in alloc buf\n");
    qrx_progress_info_init(src.size, "Downloading", 0, 100);

    const unsigned bound = request_bound(src.size);
    bool direction = true;
    long long offset;
    char response[129];
    for (;;) {
        int r = _command_request(transport, command, bound, response, &direction, &offset);
        if (r < 0) {
            qrx_log_out("ERR[VXN]", "fail in send mwrite cmd[%s]\n", command);
            return -288;
        }
        if (r == 0) {
            r = check_unchanged(src);
            if (r) return r;
            qrx_progress_info_finish();
            qrx_log_out("MSG[VXN]", "mwrite finish\n");
            return 0;
        }
        const unsigned len = (unsigned)r;
        r = check_request(transport, src, len, offset, direction);
        if (!r) r = check_unchanged(src);
        if (!r) r = send_request(transport, src, chunk.data(), len, offset, &direction);
        if (r) return r;
        qrx_progress_info_update((int)len, offset);
        if (_command_end(transport) < 0) {
            qrx_log_out("ERR[VXN]", "Fail in _command_end\n");
            return -332;
        }
    }
}

}  // namespace

int fb_mwrite_data(Transport* transport, int fd, long long size, const char* command,
                   const FileIdentity* identity) {
    // The starting position is 64 bits wide: slices that start at 2 GiB or later are common on
    // large images.
    Source src;
    src.fd = fd;
    src.start = (long long)lseek(fd, 0, SEEK_CUR);
    if (src.start < 0) {
        return fb_fail(-267, StringPrintf("image position unknown (%s)", strerror(errno)),
                       "Excep, fail to get origOff\n");
    }
    src.size = size < 0 ? 0 : size;
    src.identity = identity;
    return mwrite_cycles(transport, src, command);
}

int fb_mwrite_sparse(Transport* transport, const sparse_stream* stream, const char* command,
                     const FileIdentity* identity) {
    Source src;
    src.stream = stream;
    src.identity = identity;
    src.size = stream->stream_size < 0 ? 0 : stream->stream_size;
    return mwrite_cycles(transport, src, command);
}
