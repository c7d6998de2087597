// libFuzzer target: arbitrary bytes through the sparse reader, with and without checksums,
// and what was accepted measured and cut again. Nothing may crash, hang or grow without bound.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <sys/mman.h>
#include <unistd.h>

#include "sparse/sparse.h"

static void quiet(const char*, ...) {}

static void exercise(sparse_file* s, size_t input_size) {
    sparse_file_len(s, true, false);
    sparse_file_len(s, true, true);
    // Cutting reads the raw payloads; keep it to small limits so pieces are many.
    unsigned max_len = unsigned(4096 + 68 + input_size % 8192);
    int n = sparse_file_resparse(s, max_len, nullptr, 0);
    if (n > 0 && n < 64) {
        sparse_file* pieces[64] = {};
        n = sparse_file_resparse(s, max_len, pieces, n);
        for (int i = 0; i < n; i++) {
            sparse_file_len(pieces[i], true, false);
            sparse_file_destroy(pieces[i]);
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sparse_print_verbose = quiet;
    int fd = memfd_create("sparse-fuzz", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (write(fd, data, size) != ssize_t(size)) {
        close(fd);
        return 0;
    }
    for (bool crc : {false, true}) {
        lseek(fd, 0, SEEK_SET);
        sparse_file* s = sparse_file_import(fd, true, crc);
        if (s) exercise(s, size);
        sparse_file_destroy(s);
    }
    lseek(fd, 0, SEEK_SET);
    sparse_file* s = sparse_file_import_auto(fd, false, false);
    if (s) sparse_file_len(s, true, false);
    sparse_file_destroy(s);
    close(fd);
    return 0;
}
