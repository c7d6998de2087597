#include "tools/vsimg/out_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/vsimg/vsimg.h"
#include "util/staged_output.h"

namespace {

void discard_and_free(StagedOutput* out) {
    staged_output_discard(out);
    free(out);
}

}  // namespace

bool out_file_open(OutFile* out, const std::string& path) {
    out->path = path;
    out->staged = {static_cast<StagedOutput*>(calloc(1, sizeof(StagedOutput))), discard_and_free};
    if (!out->staged || staged_output_open(out->staged.get(), path.c_str(), 0666) != 0) {
        vsimg_error("cannot create %s: %s", path.c_str(), strerror(out->staged ? errno : ENOMEM));
        out->staged.reset();
        return false;
    }
    out->fd = out->staged->fd;
    return true;
}

bool out_file_commit(OutFile* out) {
    out->fd = -1;
    if (staged_output_commit(out->staged.get()) != 0) {
        vsimg_error("cannot write %s: %s", out->path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

void out_file_abort(OutFile* out) {
    out->fd = -1;
    out->staged.reset();
}
