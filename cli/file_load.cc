#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "cli/handlers.h"
#include "util/file_io.h"
#include "util/log.h"
#include "util/owned.h"
#include "util/platform.h"

// Block devices are sized by seeking; kinds without a size give -1.
long long get_file_size(int fd) { return sized_input_size(fd); }

void* load_fd(int fd, long long* size) {
    OwnedFd file(fd);
    long long sz = get_file_size(fd);
    *size = sz;
    if (sz < 0) return nullptr;
    // The queue carries 32-bit sizes; a larger file would be cut without a word.
    if (sz > 0xFFFFFFFFll) {
        errno = EFBIG;
        return nullptr;
    }
    OwnedBlock<void> data(malloc(sz ? (size_t)sz : 1));
    if (!data) return nullptr;
    if (read_full_at(fd, data.get(), sz, 0) != sz) {
        if (errno == 0) errno = EIO;
        return nullptr;
    }
    return data.release();
}

int open_handler_input(const char* path, long long* size, int open_code, int size_code, OwnedFd* fd) {
    int opened = open_sized_input(path, size);
    if (opened >= 0) {
        fd->reset(opened);
        return 0;
    }
    int err = errno;
    if (opened == -2)
        qrx_log_out("ERR[VXN]", "Fail in open file %s\n", path);
    else
        qrx_log_out("ERR[VXN]", "Fail in get sz of file(%s)\n", path);
    log_file_reason(path, err);
    return opened == -2 ? open_code : size_code;
}

void* load_file(const char* path, long long* size) {
    long long ignored = 0;
    int fd = open_sized_input(path, &ignored);
    if (fd < 0) return nullptr;
    return load_fd(fd, size);
}

void* load_bootable_image(const char* path, const char*, const char*, long long* size, const char*) {
    if (!path) {
        log_text("no image specified\n");
        return nullptr;
    }
    long long sz = 0;
    errno = 0;
    OwnedBlock<void> data(load_file(path, &sz));
    if (!data) {
        log_text("cannot load '%s': %s\n", path, file_error_text(errno));
        return nullptr;
    }
    if (sz == 0) {
        // Booting nothing would start whatever the board's memory holds.
        log_text("cannot load '%s': %s\n", path, "the file is empty");
        return nullptr;
    }
    *size = sz;
    return data.release();
}
