#include "util/staged_output.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "util/platform.h"

namespace {

// A target that exists and is not a regular file (a terminal, /dev/null, a FIFO) is written
// directly: renaming over it would replace a device node by a file.
bool write_directly(const char* target) {
    struct stat st;
    return stat(target, &st) == 0 && !S_ISREG(st.st_mode);
}

int create_temp(StagedOutput* out) {
    const char* slash = strrchr(out->target, '/');
    int dir_len = slash ? (int)(slash - out->target + 1) : 0;
    const char* base = slash ? slash + 1 : out->target;
    char prefix[sizeof(out->temp)];
    snprintf(prefix, sizeof(prefix), "%.*s.%s.part-", dir_len, out->target, base);
    std::string path;
    out->fd = make_temp_file(prefix, &path);
    if (out->fd < 0 || path.size() >= sizeof(out->temp)) {
        if (out->fd >= 0) {
            close(out->fd);
            unlink(path.c_str());
            out->fd = -1;
            errno = ENAMETOOLONG;
        }
        out->temp[0] = '\0';
        return -1;
    }
    snprintf(out->temp, sizeof(out->temp), "%s", path.c_str());
    return 0;
}

}  // namespace

int staged_output_open(StagedOutput* out, const char* target, mode_t mode) {
    out->fd = -1;
    out->temp[0] = '\0';
    if (strlen(target) >= sizeof(out->target)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (write_directly(target)) {
        snprintf(out->target, sizeof(out->target), "%s", target);
        // A FIFO without a reader would block the open for good; it fails with ENXIO instead.
        out->fd = open_without_waiting(target, O_WRONLY);
        return out->fd < 0 ? -1 : 0;
    }
    snprintf(out->target, sizeof(out->target), "%s", link_target(target).c_str());
    if (create_temp(out) != 0) return -1;
    // A replaced file keeps the permissions it had; a new one gets those asked for.
    keep_file_mode(out->fd, out->target, (int)mode);
    return 0;
}

int staged_output_commit(StagedOutput* out) {
    int fd = out->fd;
    out->fd = -1;
    if (!out->temp[0]) return fd >= 0 ? close(fd) : 0;
    int r = flush_to_disk(fd);
    int err = errno;
    if (close(fd) != 0 && r == 0) {
        r = -1;
        err = errno;
    }
    if (r == 0 && replace_file(out->temp, out->target) == 0) {
        out->temp[0] = '\0';
        return 0;
    }
    if (r == 0) err = errno;
    unlink(out->temp);
    out->temp[0] = '\0';
    errno = err;
    return -1;
}

void staged_output_discard(StagedOutput* out) {
    int err = errno;
    if (out->fd >= 0) close(out->fd);
    out->fd = -1;
    if (out->temp[0]) unlink(out->temp);
    out->temp[0] = '\0';
    errno = err;
}
