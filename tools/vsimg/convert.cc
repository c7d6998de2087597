// Raw to sparse and sparse to raw.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "sparse/sparse.h"
#include "sparse/sparse_stream.h"
#include "util/file_io.h"
#include "tools/vsimg/out_file.h"
#include "tools/vsimg/vsimg.h"
#include "util/platform.h"

static int open_input(const std::string& path) {
    int fd = open_host_file(path.c_str(), O_RDONLY);
    if (fd < 0) vsimg_error("cannot open %s: %s", path.c_str(), strerror(errno));
    return fd;
}

// Writes the image into a new file under `path`, complete or not at all.
static int write_image(sparse_file* s, const std::string& path, bool sparse, bool crc) {
    OutFile out;
    if (!out_file_open(&out, path)) return 1;
    int ret = sparse_file_write(s, out.fd, false, sparse, crc);
    if (ret < 0) {
        out_file_abort(&out);
        return vsimg_error("writing %s failed (%s)", path.c_str(), strerror(-ret));
    }
    return out_file_commit(&out) ? 0 : 1;
}

// Why the raw image could not be read whole, when its end moved after it was sized.
static const char* const kBecameShorter = "it became shorter while it was read";

// The sparse encoding of the raw image, served piece by piece into the output file.
static int write_stream(const sparse_stream* st, const std::string& raw, const std::string& path) {
    OutFile out;
    if (!out_file_open(&out, path)) return 1;
    std::vector<char> buf(1 << 20);
    for (int64_t at = 0; at < st->stream_size;) {
        const size_t n = (size_t)std::min<int64_t>((int64_t)buf.size(), st->stream_size - at);
        int r = sparse_stream_read(st, at, buf.data(), n);
        if (r < 0) {
            out_file_abort(&out);
            // The index was made from the whole file: a payload that cannot be read whole now
            // lies past an end that moved.
            return vsimg_error("reading %s failed (%s)", raw.c_str(),
                               r == -EINVAL ? kBecameShorter : strerror(-r));
        }
        if (write_full(out.fd, buf.data(), n) != (long long)n) {
            out_file_abort(&out);
            return vsimg_error("writing %s failed (%s)", path.c_str(), strerror(errno));
        }
        at += (int64_t)n;
    }
    return out_file_commit(&out) ? 0 : 1;
}

int vsimg_tosparse(const std::string& raw, const std::string& sparse, unsigned block_size,
                   bool crc) {
    int fd = open_input(raw);
    if (fd < 0) return 1;
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return vsimg_error("%s is not a regular file", raw.c_str());
    }
    // The expanded image must end exactly where the raw one ends.
    if (block_size ? st.st_size % block_size != 0 : sparse_stream_block_size(st.st_size) == 0) {
        close(fd);
        if (!block_size)
            return vsimg_error("%s: its size %lld is not a multiple of 4 bytes", raw.c_str(),
                               (long long)st.st_size);
        return vsimg_error("%s: its size %lld is not a multiple of the block size %u", raw.c_str(),
                           (long long)st.st_size, block_size);
    }
    sparse_stream s;
    int status;
    // The index pass refuses a size no stream can hold and a file that came up short alike:
    // only the first is known before it reads.
    const bool holdable = sparse_stream_init(&s, st.st_size, block_size, crc) == 0;
    const int ret = holdable ? sparse_stream_index(&s, fd, st.st_size, block_size, crc) : -EINVAL;
    if (!holdable)
        status = vsimg_error("%s: %lld bytes cannot be held in blocks of %u bytes", raw.c_str(),
                             (long long)st.st_size, block_size ? block_size : sparse_stream_block_size(st.st_size));
    else if (ret < 0)
        status = vsimg_error("reading %s failed (%s)", raw.c_str(),
                             ret == -EINVAL ? kBecameShorter : strerror(-ret));
    else
        status = write_stream(&s, raw, sparse);
    close(fd);
    return status;
}

int vsimg_toraw(const std::string& sparse, const std::string& raw, bool crc) {
    int fd = open_input(sparse);
    if (fd < 0) return 1;
    sparse_file* s = vsimg_import(fd, sparse, crc);
    int status = s ? write_image(s, raw, false, false) : 1;
    sparse_file_destroy(s);
    close(fd);
    return status;
}
