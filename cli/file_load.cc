#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "cli/handlers.h"
#include "util/file_io.h"
#include "util/platform.h"

// Block devices are sized by seeking; kinds without a size give -1.
long long get_file_size(int fd) { return sized_input_size(fd); }


void* load_fd(int fd, long long* size) {
    void* data = nullptr;
    int err;
    long long sz = get_file_size(fd);
    *size = sz;
    if (sz < 0) goto fail;
    // The queue carries 32-bit sizes; a larger file would be cut without a word.
    if (sz > 0xFFFFFFFFll) {
        errno = EFBIG;
        goto fail;
    }
    data = malloc(sz ? (size_t)sz : 1);
    if (!data) goto fail;
    if (read_full_at(fd, data, sz, 0) != sz) {
        if (errno == 0) errno = EIO;
        goto fail;
    }
    close(fd);
    return data;
fail:
    err = errno;
    close(fd);
    free(data);
    errno = err;
    return nullptr;
}

void* load_file(const char* path, long long* size) {
    long long ignored = 0;
    int fd = open_sized_input(path, &ignored);
    if (fd < 0) return nullptr;
    return load_fd(fd, size);
}

void* load_bootable_image(const char* path, const char*, const char*, long long* size, const char*) {
    if (!path) {
        fprintf(stderr, "no image specified\n");
        return nullptr;
    }
    long long sz = 0;
    errno = 0;
    void* data = load_file(path, &sz);
    if (!data) {
        fprintf(stderr, "cannot load '%s': %s\n", path, file_error_text(errno));
        return nullptr;
    }
    if (sz == 0) {
        free(data);
        // Booting nothing would start whatever the board's memory holds.
        fprintf(stderr, "cannot load '%s': %s\n", path, "the file is empty");
        return nullptr;
    }
    *size = sz;
    return data;
}
