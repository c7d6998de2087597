#include "protocol/media_read.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "protocol/exchange.h"
#include "protocol/media_chunk.h"
#include "util/file_io.h"
#include "util/log.h"
#include "util/progress.h"

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
            qrx_log_out("ERR[VXN]", "Fail in write file,want %d but %d\n", (int)n, (int)put);
            fb_set_error("output write failed (%s)", put < 0 ? strerror(errno) : "file full");
            return -350;
        }
        if (progress) qrx_progress_info_update((int)n, -1);
        left -= n;
    }
    return 0;
}

// The board said the read is complete: it is, when it sent what was asked for.
int finish(long long received, long long expected, bool progress) {
    if (expected >= 0 && received != expected) {
        qrx_log_out("ERR[VXN]", "board ended the read after 0x%llx of 0x%llx bytes\n", received,
                    expected);
        fb_set_error("read ended early: %lld of %lld bytes", received, expected);
        return -384;
    }
    if (progress) qrx_progress_info_finish();
    qrx_log_out("MSG[VXN]", "mread finish\n");
    return 0;
}

}  // namespace

int fb_mread_data(Transport* transport, int fd, bool progress, long long expected) {
    MediaChunk chunk;
    if (!chunk.data()) {
        qrx_log_out("ERR[VXN]", "Fail in alloc buf\n");
        fb_set_error("out of memory");
        return -357;
    }
    bool direction = false;
    long long offset = -1;
    char response[129];
    long long received = 0;
    for (;;) {
        // Only a DATA reply fills the offset, which tells a portion of 0 bytes from "OKAY": taking
        // it for the end would report a read as complete that the board did not finish.
        offset = LLONG_MIN;
        int r = _command_start(transport, kRequest, kPortionMax, response, &direction, &offset);
        if (r == 0 && offset != LLONG_MIN) {
            fb_set_error("data request of 0 bytes");
            transport->Close();
            r = -1;
        }
        if (r < 0) {
            qrx_log_out("ERR[VXN]", "fail in mread[%s]\n", kRequest);
            return -1;
        }
        if (r == 0) return finish(received, expected, progress);
        // More than was asked for would be kept as if it were the partition.
        if (expected >= 0 && r > expected - received) {
            qrx_log_out("ERR[VXN]", "board sends 0x%x bytes at 0x%llx of 0x%llx asked for\n", r,
                        received, expected);
            fb_set_error("board sends more than the 0x%llx bytes asked for", expected);
            return -386;
        }
        // The file is only ever appended to, so portions must come in file order.
        if (offset != 0) {
            qrx_log_out("ERR[VXN]", "illegle fileoffset 0x%llx for mread\n", offset);
            fb_set_error("portion offset 0x%llx in a media read", offset);
            return -376;
        }
        if (direction) {
            qrx_log_out("ERR[VXN]", "protocol err, dir changed\n");
            fb_set_error("protocol error: DATAOUT during media read");
            return -380;
        }
        const size_t upload_len = sizeof(kUpload) - 1;
        if (transport->Write(kUpload, upload_len) != (ssize_t)upload_len) {
            fb_set_error("command write failed (%s)", strerror(errno));
            transport->Close();
            return -1;
        }
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
