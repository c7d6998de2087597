// The two sinks: an open descriptor (not owned) and a caller's write callback.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "sparse/output_file.h"

static output_file_normal* to_normal(output_file* out) {
    return reinterpret_cast<output_file_normal*>(out);
}

static output_file_callback* to_callback(output_file* out) {
    return reinterpret_cast<output_file_callback*>(out);
}

static int file_open(output_file* out, int fd) {
    to_normal(out)->fd = fd;
    return 0;
}

// An image of millions of small chunks would otherwise cost a write call per chunk header,
// fill value or small payload.
constexpr size_t GATHER_LEN = 64 << 10;

static int file_write_through(int fd, const void* data, size_t n);

static int file_flush(output_file* out) {
    output_file_normal* outn = to_normal(out);
    const size_t n = outn->gathered;
    outn->gathered = 0;
    return n ? file_write_through(outn->fd, outn->gather_buf, n) : 0;
}

static int file_skip(output_file* out, int64_t n) {
    int ret = file_flush(out);
    if (ret < 0) return ret;
    if (lseek(to_normal(out)->fd, n, SEEK_CUR) < 0) {
        int err = errno;
        fprintf(stderr, "error: %s: lseek64: %s\n", "file_skip", strerror(err));
        return -err;
    }
    return 0;
}

static int file_pad(output_file* out, int64_t len) {
    int ret = file_flush(out);
    if (ret < 0) return ret;
    if (ftruncate(to_normal(out)->fd, len) < 0) return -errno;
    return 0;
}

// A single write(2) moves at most about 2 GiB, and pipes take less at a time, so the rest of a
// short write is written again; only a failing or stalled write is an error, given as -errno
// so that the caller can tell a full disk from a missing permission.
static int file_write_through(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t r = write(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            int err = errno;
            fprintf(stderr, "error: %s: write: %s\n", "file_write", strerror(err));
            return -err;
        }
        if (r == 0) {
            fprintf(stderr, "error: %s: incomplete write\n", "file_write");
            return -EIO;
        }
        p += r;
        n -= size_t(r);
    }
    return 0;
}

// Writes of less than half the gathering buffer are gathered; larger ones go out directly,
// after what was gathered before them.
static int file_write(output_file* out, const void* data, size_t n) {
    output_file_normal* outn = to_normal(out);
    if (outn->gathered + n > GATHER_LEN || n >= GATHER_LEN / 2) {
        int ret = file_flush(out);
        if (ret < 0) return ret;
    }
    if (n >= GATHER_LEN / 2) return file_write_through(outn->fd, data, n);
    if (!outn->gather_buf) {
        outn->gather_buf = static_cast<char*>(malloc(GATHER_LEN));
        if (!outn->gather_buf) return file_write_through(outn->fd, data, n);
    }
    memcpy(outn->gather_buf + outn->gathered, data, n);
    outn->gathered += n;
    return 0;
}

static void file_close(output_file* out) {
    free(to_normal(out)->gather_buf);
    free(to_normal(out));
}

int output_count_write(void* priv, const void*, int len) {
    *static_cast<int64_t*>(priv) += len;
    return 0;
}

static int callback_file_open(output_file*, int) { return 0; }

static int callback_file_skip(output_file* out, int64_t n) {
    output_file_callback* outc = to_callback(out);
    while (n > 0) {
        int m = int(std::min<int64_t>(n, INT_MAX));
        int ret = outc->write(outc->priv, nullptr, m);
        if (ret < 0) return ret;
        n -= m;
    }
    return 0;
}

static int callback_file_pad(output_file*, int64_t) { return -1; }

// The callback takes an int length, so a run longer than that goes in several calls.
static int callback_file_write(output_file* out, const void* data, size_t n) {
    output_file_callback* outc = to_callback(out);
    const char* p = static_cast<const char*>(data);
    do {
        int m = int(std::min<size_t>(n, INT_MAX));
        int ret = outc->write(outc->priv, p, m);
        if (ret < 0) return ret;
        p += m;
        n -= size_t(m);
    } while (n > 0);
    return 0;
}

static void callback_file_close(output_file* out) { free(to_callback(out)); }

static int callback_file_flush(output_file*) { return 0; }

const output_sink_ops file_ops = {file_open,  file_skip,  file_pad,
                                  file_write, file_close, file_flush};
const output_sink_ops callback_file_ops = {callback_file_open,  callback_file_skip,
                                           callback_file_pad,   callback_file_write,
                                           callback_file_close, callback_file_flush};
