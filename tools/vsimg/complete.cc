// Whether a sparse image holds every payload it announces. The library passes over raw
// payloads unread when it imports an image, so a cut-off file is accepted there and only fails
// when its data are wanted; the tool says so before it starts writing.
#include <sys/stat.h>
#include <unistd.h>

#include "sparse/sparse.h"
#include "sparse/sparse_scan.h"
#include "tools/vsimg/vsimg.h"

bool vsimg_check_complete(int fd, const std::string& path) {
    sparse_scan_result scan;
    struct stat st;
    if (lseek(fd, 0, SEEK_SET) < 0 || sparse_file_scan(fd, &scan) != 0 || fstat(fd, &st) != 0 || st.st_size >= scan.end)
        return true;
    vsimg_error("%s: truncated image (its chunks end at byte %lld, the file at byte %lld)",
                path.c_str(), (long long)scan.end, (long long)st.st_size);
    return false;
}

sparse_file* vsimg_import(int fd, const std::string& path, bool crc) {
    vsimg_take_report();
    sparse_file* s = sparse_file_import(fd, true, crc);
    if (!s) {
        vsimg_error("%s is not a valid sparse image", path.c_str());
        return nullptr;
    }
    if (!vsimg_check_complete(fd, path)) {
        sparse_file_destroy(s);
        return nullptr;
    }
    // The library reads on past a chunk it does not know; what it stands for would be missing
    // from the result.
    if (vsimg_take_report()) {
        sparse_file_destroy(s);
        vsimg_error("%s is not a valid sparse image (a chunk of an unknown type)", path.c_str());
        return nullptr;
    }
    return s;
}
