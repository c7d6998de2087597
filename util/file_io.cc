#include "util/file_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/log.h"
#include "util/owned.h"
#include "util/platform.h"

long long read_full_at(int fd, void* buf, long long size, long long offset) {
    long long done = 0;
    while (done < size) {
        long long n = read_at(fd, static_cast<char*>(buf) + done, (size_t)(size - done), offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += n;
    }
    return done;
}

long long read_full(int fd, void* buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = read(fd, static_cast<char*>(buf) + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += (size_t)n;
    }
    return (long long)done;
}

long long write_full(int fd, const void* buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, static_cast<const char*>(buf) + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done ? (long long)done : -1;
        if (n == 0) break;
        done += (size_t)n;
    }
    return (long long)done;
}

long long sized_input_size(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (S_ISREG(st.st_mode)) {
        char byte;
        if (st.st_size == 0 && read_at(fd, &byte, 1, 0) == 1) {
            errno = ENODATA;
            return -1;
        }
        return (long long)st.st_size;
    }
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    if (!S_ISBLK(st.st_mode)) {
        errno = ESPIPE;
        return -1;
    }
    // The status of a block device says 0; its end is its size.
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0 || lseek(fd, 0, SEEK_SET) != 0) return -1;
    return (long long)end;
}

int open_sized_input(const char* path, long long* size) {
    // An open that waited for a FIFO's writer might never return.
    OwnedFd fd(open_without_waiting(path, O_RDONLY));
    if (fd.get() < 0) return -2;
    *size = sized_input_size(fd.get());
    if (*size < 0) return -1;
    return fd.release();
}

int input_identity(int fd, FileIdentity* id) {
    if (file_identity_of(fd, id) != 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (!S_ISBLK(st.st_mode)) return 0;
    const off_t at = lseek(fd, 0, SEEK_CUR);
    const off_t end = lseek(fd, 0, SEEK_END);
    if (at < 0 || end < 0 || lseek(fd, at, SEEK_SET) != at) return -1;
    id->size = (long long)end;
    return 0;
}

bool same_identity(const FileIdentity& a, const FileIdentity& b) {
    return a.size == b.size && a.modified_ns == b.modified_ns && a.changed_ns == b.changed_ns &&
           a.inode == b.inode && a.device == b.device;
}

const char* file_error_text(int err) {
    if (err == ESPIPE) return "not a regular file or block device, so it has no size to send";
    if (err == ENODATA)
        return "its size reads as 0 but it has bytes (as files of /proc and /sys do), so it has no size "
               "to send";
    return strerror(err);
}

void log_file_reason(const char* path, int err) {
    qrx_log_out("ERR[VXN]", "%s: %s\n", path, file_error_text(err));
}
