#include "tools/vsimg/out_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "tools/vsimg/vsimg.h"
#include "util/platform.h"

bool out_file_open(OutFile* out, const std::string& path) {
    out->path = path;
    out->fd = make_temp_file(path + ".tmp-", &out->tmp_path);
    if (out->fd < 0) {
        vsimg_error("cannot create %s: %s", path.c_str(), strerror(errno));
        return false;
    }
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
    if (replace_file(out->tmp_path.c_str(), out->path.c_str()) < 0) {
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
