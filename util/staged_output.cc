#include "util/staged_output.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A target that exists and is not a regular file (a terminal, /dev/null, a FIFO) is written
// directly: renaming over it would replace a device node by a file.
bool write_directly(const char* target) {
    struct stat st;
    return stat(target, &st) == 0 && !S_ISREG(st.st_mode);
}

// The file that a rename must replace: a symbolic link is followed, so the link stays.
void resolve_target(const char* target, char* out, size_t size) {
    char real[PATH_MAX];
    struct stat st;
    if (lstat(target, &st) == 0 && S_ISLNK(st.st_mode) && realpath(target, real))
        snprintf(out, size, "%s", real);
    else
        snprintf(out, size, "%s", target);
}

int create_temp(StagedOutput* out, mode_t mode) {
    const char* slash = strrchr(out->target, '/');
    int dir_len = slash ? (int)(slash - out->target + 1) : 0;
    const char* base = slash ? slash + 1 : out->target;
    for (int attempt = 0; attempt < 100; attempt++) {
        snprintf(out->temp, sizeof(out->temp), "%.*s.%s.%d-%d.part", dir_len, out->target, base,
                 (int)getpid(), attempt);
        out->fd = open(out->temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (out->fd >= 0 || errno != EEXIST) break;
    }
    if (out->fd < 0) out->temp[0] = '\0';
    return out->fd < 0 ? -1 : 0;
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
        out->fd = open(target, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        int flags = out->fd < 0 ? -1 : fcntl(out->fd, F_GETFL);
        if (flags < 0 || fcntl(out->fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            staged_output_discard(out);
            return -1;
        }
        return 0;
    }
    resolve_target(target, out->target, sizeof(out->target));
    if (create_temp(out, mode) != 0) return -1;
    // A replaced file keeps the permissions it had.
    struct stat st;
    if (stat(out->target, &st) == 0 && S_ISREG(st.st_mode)) fchmod(out->fd, st.st_mode & 07777);
    return 0;
}

int staged_output_commit(StagedOutput* out) {
    int fd = out->fd;
    out->fd = -1;
    if (!out->temp[0]) return fd >= 0 ? close(fd) : 0;
    int r = fsync(fd);
    int err = errno;
    if (close(fd) != 0 && r == 0) {
        r = -1;
        err = errno;
    }
    if (r == 0 && rename(out->temp, out->target) == 0) {
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
