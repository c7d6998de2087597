// Cutting a sparse image into pieces of at most N bytes each.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "sparse/sparse.h"
#include "tools/vsimg/out_file.h"
#include "tools/vsimg/vsimg.h"
#include "util/platform.h"

// Writes every piece; all of them appear under their names, or none does.
static int write_pieces(std::vector<sparse_file*>& pieces, const std::string& prefix) {
    std::vector<OutFile> outs(pieces.size());
    size_t opened = 0;
    bool ok = true;
    while (ok && opened < pieces.size()) {
        std::string path = prefix + "." + std::to_string(opened + 1);
        if (!out_file_open(&outs[opened], path)) break;
        int ret = sparse_file_write(pieces[opened], outs[opened].fd, false, true, false);
        opened++;
        if (ret < 0) ok = !vsimg_error("writing %s failed (%s)", path.c_str(), strerror(-ret));
    }
    ok = ok && opened == pieces.size();
    size_t committed = 0;
    while (ok && committed < opened) ok = out_file_commit(&outs[committed++]);
    if (ok) return 0;
    // A commit fails after removing its own temporary file; earlier pieces go again.
    for (size_t i = 0; i + 1 < committed; i++) unlink(outs[i].path.c_str());
    for (size_t i = committed; i < opened; i++) out_file_abort(&outs[i]);
    return 1;
}

int vsimg_resparse(const std::string& sparse, unsigned long long max_len,
                   const std::string& prefix) {
    int fd = open_host_file(sparse.c_str(), O_RDONLY);
    if (fd < 0) return vsimg_error("cannot open %s: %s", sparse.c_str(), strerror(errno));
    sparse_file* s = sparse_file_import(fd, true, false);
    if (!s) {
        close(fd);
        return vsimg_error("%s is not a valid sparse image", sparse.c_str());
    }
    if (!vsimg_check_complete(fd, sparse)) {
        sparse_file_destroy(s);
        close(fd);
        return 1;
    }
    int status = 0;
    int n = sparse_file_resparse(s, unsigned(max_len), nullptr, 0);
    std::vector<sparse_file*> pieces;
    if (n > 0) {
        pieces.assign(size_t(n), nullptr);
        n = sparse_file_resparse(s, unsigned(max_len), pieces.data(), n);
    }
    if (n == -EINVAL)
        status = vsimg_error("%llu bytes cannot hold a piece of %s", max_len, sparse.c_str());
    else if (n < 0)
        status = vsimg_error("cutting %s failed (%s)", sparse.c_str(), strerror(-n));
    else
        status = write_pieces(pieces, prefix);
    if (status == 0) fprintf(stderr, "%s: %d pieces\n", sparse.c_str(), n);
    for (sparse_file* p : pieces) sparse_file_destroy(p);
    sparse_file_destroy(s);
    close(fd);
    return status;
}
