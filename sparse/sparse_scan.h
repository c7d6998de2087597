// Checking a sparse image without importing it: one pass over the chunk headers with the
// import's checks, in memory that does not grow with the number of chunks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct sparse_scan_result {
    uint32_t block_size;
    uint32_t total_blocks;
    uint32_t chunk_count;
    // Where the last chunk ends: the length the file needs to hold every payload. The import
    // passes over raw payloads unread, so a file shorter than this can still be accepted.
    int64_t end;
};

// 0 (and *result filled) when sparse_file_import(fd, false, false) would accept the image at
// the descriptor's position, else the negative error the import would stop at (-ENOMEM aside).
// The file position is left as it was.
int sparse_file_scan(int fd, sparse_scan_result* result);
// The same for an image in memory; sparse_file_import_buf takes it when, besides, every
// payload lies inside (result->end <= len).
int sparse_buf_scan(const void* data, size_t len, sparse_scan_result* result);
// The same, with the reason in words in *why when the image is refused ("chunk 7 of 9 is cut
// short"; "no sparse magic" for a file that does not start like a sparse image).
int sparse_file_scan_explained(int fd, sparse_scan_result* result, std::string* why);
