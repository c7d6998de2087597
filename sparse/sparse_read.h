// Internals of the reader, shared by its steps.
#pragma once
#include <cstddef>
#include <cstdint>

#include "sparse/sparse_file.h"
#include "sparse/sparse_format.h"
#include "sparse/sparse_source.h"

// Process-wide scratch buffer for payloads read to be checksummed (created by the first
// sparse read, never freed); not for concurrent reads.
constexpr size_t COPY_BUF_SIZE = 1 << 20;
extern char* copybuf;

// Sparse images that expand beyond this are refused: fill chunks are recorded in runs of at
// most 4 GiB, so the expanded length bounds the memory an import takes.
constexpr uint64_t SPARSE_IMPORT_MAX_LEN = uint64_t(1) << 44;

// Reports a failure of the read when verbose, with an optional location (printf format).
void verbose_error(bool verbose, int error, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

int sparse_file_read_sparse(sparse_file* s, int fd, bool crc);
// The same from a source, the image starting at offset `start` of it.
int sparse_read_source(sparse_file* s, sparse_source* src, int64_t start, bool crc);
int sparse_file_read_normal(sparse_file* s, int fd);

// One chunk whose header has been read; `pos` is where its payload starts and
// `blocks_left` how many blocks of the image the chunks have not yet covered. The number of
// blocks the chunk covers, or a negative error; on success the chunk's payload is used up.
struct chunk_context {
    sparse_file* s;
    sparse_source* src;
    int64_t pos;
    uint32_t cur_block;
    uint64_t blocks_left;
    uint32_t* crc;  // none when not checksumming
};
int process_chunk(const chunk_context& ctx, const chunk_header& chunk, uint16_t chunk_header_size);
