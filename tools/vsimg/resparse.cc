// Cutting a sparse image into pieces of at most N bytes each.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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

// Pieces of an earlier cut with numbers past this one's would be taken for part of it: the set
// must be the one image. False (naming them) when such pieces exist.
static bool no_later_pieces(const std::string& prefix, int n) {
    struct stat st;
    int last = n;
    while (stat((prefix + "." + std::to_string(last + 1)).c_str(), &st) == 0) last++;
    if (last == n) return true;
    std::string first = prefix + "." + std::to_string(n + 1);
    std::string named = last == n + 1 ? first : first + " to " + prefix + "." + std::to_string(last);
    vsimg_error("%s exist%s from an earlier cut and would be taken for pieces of this one (which "
                "makes %d); remove %s first",
                named.c_str(), last == n + 1 ? "s" : "", n, last == n + 1 ? "it" : "them");
    return false;
}

int vsimg_resparse(const std::string& sparse, unsigned long long max_len,
                   const std::string& prefix) {
    int fd = open_host_file(sparse.c_str(), O_RDONLY);
    if (fd < 0) return vsimg_error("cannot open %s: %s", sparse.c_str(), strerror(errno));
    sparse_file* s = vsimg_import(fd, sparse, false);
    if (!s) {
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
    else if (!no_later_pieces(prefix, n))
        status = 1;
    else
        status = write_pieces(pieces, prefix);
    if (status == 0) fprintf(stderr, "%s: %d pieces\n", sparse.c_str(), n);
    for (sparse_file* p : pieces) sparse_file_destroy(p);
    sparse_file_destroy(s);
    close(fd);
    return status;
}
