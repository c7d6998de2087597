// Download of a sparse image: the library's stream of small fragments (headers) and long ones
// (payloads) is gathered into transfers of whole multiples of 1024 bytes; long payloads go out
// straight from the library's memory.
#include "protocol/sparse_download.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "protocol/exchange.h"
#include "sparse/sparse.h"

static char transport_buf[1024];
static int transport_buf_len = 0;
// Whether the stream into the transport failed, which has set ERROR; any other failure of the
// library's walk is its own (a run's file could not be read).
static bool sending_failed = false;

static constexpr int TRANSPORT_BUF_SIZE = int(sizeof(transport_buf));

static int stage_and_send(Transport* transport, const char* ptr, int len);

int fb_download_data_sparse_write(void* priv, const void* data, int len) {
    int r = stage_and_send(static_cast<Transport*>(priv), static_cast<const char*>(data), len);
    if (r < 0) sending_failed = true;
    return r;
}

static int stage_and_send(Transport* transport, const char* ptr, int len) {
    if (len < 0 || (!ptr && len > 0)) {
        fb_set_error("internal error: no data for the sparse download");
        return -1;
    }

    if (transport_buf_len) {
        int to_write = TRANSPORT_BUF_SIZE - transport_buf_len;
        if (to_write > len) to_write = len;
        memcpy(transport_buf + transport_buf_len, ptr, size_t(to_write));
        transport_buf_len += to_write;
        ptr += to_write;
        len -= to_write;
    }

    if (transport_buf_len == TRANSPORT_BUF_SIZE) {
        if (_command_data(transport, transport_buf, TRANSPORT_BUF_SIZE, nullptr) !=
            TRANSPORT_BUF_SIZE)
            return -1;
        transport_buf_len = 0;
    }

    if (len > TRANSPORT_BUF_SIZE) {
        if (transport_buf_len > 0) {
            fb_set_error("internal error: transport_buf not empty");
            return -1;
        }
        int to_write = len & ~(TRANSPORT_BUF_SIZE - 1);
        if (_command_data(transport, ptr, unsigned(to_write), nullptr) != to_write) return -1;
        ptr += to_write;
        len -= to_write;
    }

    if (len > 0) {
        if (len > TRANSPORT_BUF_SIZE) {
            fb_set_error("internal error: too much left for transport_buf");
            return -1;
        }
        memcpy(transport_buf, ptr, size_t(len));
        transport_buf_len = len;
    }
    return 0;
}

int fb_download_data_sparse_flush(Transport* transport) {
    if (transport_buf_len > 0) {
        if (_command_data(transport, transport_buf, unsigned(transport_buf_len), nullptr) !=
            transport_buf_len)
            return -1;
        transport_buf_len = 0;
    }
    return 0;
}

void fb_download_data_sparse_reset() {
    transport_buf_len = 0;
    sending_failed = false;
}

int fb_download_data_sparse(Transport* transport, sparse_file* s) {
    fb_download_data_sparse_reset();

    int64_t size = sparse_file_len(s, true, false);
    if (size <= 0) {
        fb_set_error("sparse image size unknown");
        return -1;
    }
    // The command carries 32 bits and the data phase is bounded to 2 GiB; a longer stream
    // would be announced with a wrapped length and sent in full.
    if (size > INT32_MAX) {
        fb_set_error("sparse image of %lld bytes is too large for one download",
                     (long long)size);
        return -1;
    }

    char cmd[32];
    snprintf(cmd, sizeof(cmd), "download:%08x", unsigned(size));
    if (_command_start(transport, cmd, unsigned(size), nullptr, nullptr, nullptr) < 0) return -1;
    int r = sparse_file_callback(s, true, false, fb_download_data_sparse_write, transport);
    if (r < 0) {
        if (!sending_failed) fb_set_error("sparse image read failed (%s)", strerror(-r));
        return -1;
    }
    if (fb_download_data_sparse_flush(transport) < 0) return -1;
    return _command_end(transport);
}
