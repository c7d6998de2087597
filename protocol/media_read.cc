#include "protocol/media_read.h"

#include <cerrno>
#include <cstring>

#include "protocol/exchange.h"
#include "protocol/media_chunk.h"
#include "util/file_io.h"
#include "util/log.h"
#include "util/progress.h"
#include "util/string_printf.h"

using veltrop::base::StringPrintf;

namespace {

constexpr char kRequest[] = "mread:status=request";
constexpr char kUpload[] = "mread:status=upload";
constexpr char kFinish[] = "mread:status=finish";
// The largest portion a board may announce.
constexpr unsigned kPortionMax = 0x40000000;

// Receives one portion of `len` bytes and appends it to the file.
int receive_portion(Transport* transport, int fd, unsigned char* buf, unsigned len, bool* direction,
                    bool progress) {
    for (unsigned left = len; left > 0;) {
        unsigned n = left < kMediaChunk ? left : kMediaChunk;
        if (_command_data(transport, buf, n, direction) < 0) {
            qrx_log_out("ERR[VXN]", "Fail in send data at len 0x%x\n", n);
            return -350;
        }
        long long put = write_full(fd, buf, n);
        if (put != (long long)n) {
            return fb_fail(-350,
                           StringPrintf("output write failed (%s)",
                                        put < 0 ? strerror(errno) : "file full"),
                           "Fail in write file,want %d but %d\n", (int)n, (int)put);
        }
        if (progress) qrx_progress_info_update((int)n, -1);
        left -= n;
    }
    return 0;
}

// The board said the read is complete: it is, when it sent what was asked for.
int finish(long long received, long long expected, bool progress) {
    if (expected >= 0 && received != expected) {
        return fb_fail(-384, StringPrintf("read ended early: %lld of %lld bytes", received, expected),
                       "board ended the read after 0x%llx of 0x%llx bytes\n", received, expected);
    }
    if (progress) qrx_progress_info_finish();
    qrx_log_out("MSG[VXN]", "mread finish\n");
    return 0;
}

// A portion of `len` bytes the board announced: 0 when it may be taken, else the failure.
int check_portion(int len, long long offset, bool direction, long long received, long long expected) {
    // More than was asked for would be kept as if it were the partition.
    if (expected >= 0 && len > expected - received) {
        return fb_fail(-386,
                       StringPrintf("board sends more than the 0x%llx bytes asked for", expected),
                       "board sends 0x%x bytes at 0x%llx of 0x%llx asked for\n", len, received,
                       expected);
    }
    // The file is only ever appended to, so portions must come in file order.
    if (offset != 0) {
        return fb_fail(-376, StringPrintf("portion offset 0x%llx in a media read", offset),
                       "illegle fileoffset 0x%llx for mread\n", offset);
    }
    if (direction) {
        return fb_fail(-380, "protocol error: DATAOUT during media read",
                       "protocol err, dir changed\n");
    }
    return 0;
}

}  // namespace

int fb_mread_data(Transport* transport, int fd, bool progress, long long expected) {
    MediaChunk chunk;
    if (!chunk.data()) return fb_fail(-357, "out of memory", "Fail in alloc buf\n");
    bool direction = false;
    long long offset;
    char response[129];
    long long received = 0;
    for (;;) {
        int r = _command_request(transport, kRequest, kPortionMax, response, &direction, &offset);
        if (r < 0) {
            qrx_log_out("ERR[VXN]", "fail in mread[%s]\n", kRequest);
            return -1;
        }
        if (r == 0) return finish(received, expected, progress);
        const int refused = check_portion(r, offset, direction, received, expected);
        if (refused) return refused;
        if (_command_write(transport, kUpload) < 0) return -1;
        const unsigned portion = (unsigned)r;
        r = receive_portion(transport, fd, chunk.data(), portion, &direction, progress);
        if (r) return r;
        received += portion;
        if (_command_start(transport, kFinish, 0, response, &direction, &offset) < 0) {
            qrx_log_out("ERR[VXN]", "fail in cmd[%s]\n", kFinish);
            return -1;
        }
    }
}
