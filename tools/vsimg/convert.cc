// Raw to sparse and sparse to raw.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sparse/sparse.h"
#include "tools/vsimg/out_file.h"
#include "tools/vsimg/vsimg.h"

static int open_input(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
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

int vsimg_tosparse(const std::string& raw, const std::string& sparse, unsigned block_size,
                   bool crc) {
    int fd = open_input(raw);
    if (fd < 0) return 1;
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return vsimg_error("%s is not a regular file", raw.c_str());
    }
    sparse_file* s = sparse_file_new(block_size, st.st_size);
    if (!s) {
        close(fd);
        return vsimg_error("%s: %lld bytes cannot be held in blocks of %u bytes", raw.c_str(),
                           (long long)st.st_size, block_size);
    }
    int status;
    int ret = sparse_file_read(s, fd, false, false);
    if (ret < 0)
        status = vsimg_error("reading %s failed (%s)", raw.c_str(), strerror(-ret));
    else
        status = write_image(s, sparse, true, crc);
    sparse_file_destroy(s);
    close(fd);
    return status;
}

int vsimg_toraw(const std::string& sparse, const std::string& raw, bool crc) {
    int fd = open_input(sparse);
    if (fd < 0) return 1;
    sparse_file* s = sparse_file_import(fd, true, crc);
    int status;
    if (!s)
        status = vsimg_error("%s is not a valid sparse image", sparse.c_str());
    else if (!vsimg_check_complete(fd, sparse))
        status = 1;
    else
        status = write_image(s, raw, false, false);
    sparse_file_destroy(s);
    close(fd);
    return status;
}
