// "partition -t sparse" of a raw image: the image goes out as a sparse encoding made while it is
// sent, so that only its data blocks and the chunk headers cross the link.
#include "cli/partition_sparse.h"

#include <cstring>
#include <memory>
#include <string>

#include "engine/queued_ops.h"
#include "sparse/sparse_stream.h"
#include "util/file_io.h"
#include "util/log.h"
#include "util/platform.h"
#include "util/string_printf.h"

using veltrop::base::StringPrintf;

namespace {

std::string size_text(long long n) {
    if (n >= 1ll << 30) return StringPrintf("%.2f GiB", (double)n / (1ll << 30));
    if (n >= 1ll << 20) return StringPrintf("%.2f MiB", (double)n / (1ll << 20));
    if (n >= 1ll << 10) return StringPrintf("%.2f KiB", (double)n / (1ll << 10));
    return StringPrintf("%lld bytes", n);
}

}  // namespace

int prepare_sparse_stream(int fd, const char* path, long long* image_size, sparse_stream** out,
                          FileIdentity* identity) {
    *out = nullptr;
    const long long size = *image_size;
    // The expanded image must end exactly where the file ends; blocks are whole 32-bit words.
    if (sparse_stream_block_size(size) == 0) {
        qrx_log_out("ERR[VXN]", "cannot send %s as sparse: its size %lld is not a multiple of 4 bytes\n",
                    path, size);
        return -597;
    }
    if (size / sparse_stream_block_size(size) > 0xFFFFFFFFll) {
        qrx_log_out("ERR[VXN]",
                    "cannot send %s as sparse: its %lld bytes are more than 2^32 - 1 blocks of %u "
                    "bytes, the most a sparse image holds\n",
                    path, size, sparse_stream_block_size(size));
        return -597;
    }
    if (input_identity(fd, identity) != 0) {
        qrx_log_out("ERR[VXN]", "Fail in read img %s for its sparse stream (%s)\n", path, strerror(errno));
        return -598;
    }
    std::unique_ptr<sparse_stream> s(new sparse_stream);
    int r = sparse_stream_index(s.get(), fd, size, 0, false);
    if (r) {
        qrx_log_out("ERR[VXN]", "Fail in read img %s for its sparse stream (%s)\n", path, strerror(-r));
        // Sizes no stream can hold were refused above: the file came up short of its size.
        if (r == -EINVAL)
            qrx_log_out("ERR[VXN]", "%s became shorter while it was read (%lld bytes when it was sized)\n", path,
                        size);
        return -598;
    }
    qrx_log_out("MSG[VXN]", "sparse stream: %s of %s to send, %u chunks\n", size_text(s->stream_size).c_str(),
                size_text(size).c_str(), sparse_stream_chunk_count(s.get()));
    *image_size = s->stream_size;
    *out = s.release();
    return 0;
}

void queue_sparse_stream(sparse_stream* stream, const FileIdentity& image) {
    fb_queue_mwrite_sparse(stream, "mwrite:verify=addsum", image);
}
