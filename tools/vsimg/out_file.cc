#include "tools/vsimg/out_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tools/vsimg/vsimg.h"

bool out_file_open(OutFile* out, const std::string& path) {
    out->path = path;
    std::vector<char> name(path.begin(), path.end());
    const char suffix[] = ".tmp-XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof(suffix));
    out->fd = mkstemp(name.data());
    if (out->fd < 0) {
        vsimg_error("cannot create %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    out->tmp_path = name.data();
    // mkstemp makes the file private; the result gets the usual permissions.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(out->fd, 0666 & ~mask);
    return true;
}

bool out_file_commit(OutFile* out) {
    int fd = out->fd;
    out->fd = -1;
    if (close(fd) < 0) {
        vsimg_error("cannot write %s: %s", out->path.c_str(), strerror(errno));
        unlink(out->tmp_path.c_str());
        return false;
    }
    if (rename(out->tmp_path.c_str(), out->path.c_str()) < 0) {
        vsimg_error("cannot create %s: %s", out->path.c_str(), strerror(errno));
        unlink(out->tmp_path.c_str());
        return false;
    }
    return true;
}

void out_file_abort(OutFile* out) {
    if (out->fd >= 0) close(out->fd);
    out->fd = -1;
    if (!out->tmp_path.empty()) unlink(out->tmp_path.c_str());
}
