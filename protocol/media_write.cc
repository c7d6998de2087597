#include "protocol/media_write.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <unistd.h>

#include "protocol/exchange.h"
#include "protocol/media_chunk.h"
#include "sparse/sparse_stream.h"
#include "util/file_io.h"
#include "util/add_sum.h"
#include "util/byte_order.h"
#include "util/log.h"
#include "util/progress.h"

namespace {

// The exchange bound is 32 bits wide; an image of 4 GiB or more must still let every request
// through that the 2 GiB rule of the exchange allows, so the bound saturates instead of wrapping.
unsigned request_bound(long long size) {
    if (size <= 0) return 0;
    return size > 0xFFFFFFFFll ? 0xFFFFFFFFu : (unsigned)size;
}

// Where the requested bytes come from: an open file, positioned at the request by the caller, or
// the sparse encoding of a raw image, made up at the request's offset.
struct Source {
    int fd = -1;
    const sparse_stream* stream = nullptr;
};

// Reads the next `n` bytes of a request that continues at `at`: the count read, or -1 (errno set).
long long read_source(const Source& src, unsigned char* buf, unsigned n, long long at) {
    if (!src.stream) return read_full(src.fd, buf, n);
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
            qrx_log_out("ERR[VXN]", "Fail in read img,want %d but %d\n", (int)n, (int)got);
            fb_set_error("image read failed (%s)", got < 0 ? strerror(errno) : "file too short");
            return -260;
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


// Checks a data request against the data size and moves the file to it; 0 or the write's result.
int take_request(Transport* transport, const Source& src, long long start, long long size,
                 unsigned len, long long offset, bool direction) {
    // A device-to-host phase has no place in a write: serving it would read the board's bytes
    // over the chunk buffer and the checksum. The board waits to send, so the link is dropped.
    if (!direction) {
        qrx_log_out("ERR[VXN]", "protocol err, dir changed\n");
        fb_set_error("protocol error: DATAIN during media write");
        transport->Close();
        return -292;
    }
    if (offset < 0) {
        qrx_log_out("ERR[VXN]", "illegle negative fileoffset\n");
        fb_set_error("negative data offset requested");
        return -297;
    }
    // Only the data size from the starting position may be sent; the checks are written so
    // that no sum of board-given numbers can overflow.
    if (offset > size || (long long)len > size - offset) {
        long long avail = offset > size ? 0 : size - offset;
        qrx_log_out("ERR[VXN]", "Fail in read img,want %d but %d\n", (int)len, (int)avail);
        fb_set_error("request 0x%x at 0x%llx beyond data size 0x%llx", len, offset, size);
        return -260;
    }
    if (src.stream) return 0;
    long long target;
    if (__builtin_add_overflow(start, offset, &target) ||
        lseek(src.fd, (off_t)offset, SEEK_CUR) != target) {
        qrx_log_out("ERR[VXN]", "Fail seek to fileoffset 0x%llx\n", offset);
        fb_set_error("image seek failed (%s)", strerror(errno));
        return -301;
    }
    return 0;
}

// The cycles of one write: command, data request, the bytes and their checksum, closing reply.
int mwrite_cycles(Transport* transport, const Source& src, long long start, long long size,
                  const char* command) {
    MediaChunk chunk;
    if (!chunk.data()) {
        qrx_log_out("ERR[VXN]", "Fail in alloc buf\n");
        fb_set_error("out of memory");
        return -272;
    }
    if (size < 0) size = 0;
    qrx_progress_info_init(size, "Downloading", 0, 100);

    const unsigned bound = request_bound(size);
    bool direction = true;
    long long offset;
    char response[129];
    for (;;) {
        if (!src.stream && lseek(src.fd, start, SEEK_SET) != start) {
            qrx_log_out("ERR[VXN]", "Fail seek to 0x%llx\n", start);
            fb_set_error("image seek failed (%s)", strerror(errno));
            return -260;
        }
        // Only a DATA reply fills the offset, which tells a request of 0 bytes from "OKAY": taking
        // it for the end would report a write as finished that the board never got.
        offset = LLONG_MIN;
        int r = _command_start(transport, command, bound, response, &direction, &offset);
        if (r == 0 && offset != LLONG_MIN) {
            fb_set_error("data request of 0 bytes");
            transport->Close();
            r = -1;
        }
        if (r < 0) {
            qrx_log_out("ERR[VXN]", "fail in send mwrite cmd[%s]\n", command);
            return -288;
        }
        if (r == 0) {
            qrx_progress_info_finish();
            qrx_log_out("MSG[VXN]", "mwrite finish\n");
            return 0;
        }
        const unsigned len = (unsigned)r;
        r = take_request(transport, src, start, size, len, offset, direction);
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

int fb_mwrite_data(Transport* transport, int fd, long long size, const char* command) {
    // The starting position is 64 bits wide: slices that start at 2 GiB or later are common on
    // large images.
    const long long start = (long long)lseek(fd, 0, SEEK_CUR);
    if (start < 0) {
        qrx_log_out("ERR[VXN]", "Excep, fail to get origOff\n");
        fb_set_error("image position unknown (%s)", strerror(errno));
        return -267;
    }
    Source src;
    src.fd = fd;
    return mwrite_cycles(transport, src, start, size, command);
}

int fb_mwrite_sparse(Transport* transport, const sparse_stream* stream, const char* command) {
    Source src;
    src.stream = stream;
    return mwrite_cycles(transport, src, 0, stream->stream_size, command);
}
