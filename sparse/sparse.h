// Sparse images: an in-memory image (sparse_file) made of runs of blocks, written as the sparse
// format or as the expanded ("normal") image to a descriptor or a callback, measured, cut into
// size-limited pieces, and read back from a descriptor. Results are 0 or a negative errno value
// (-ENOMEM, -EINVAL); constructors and loaders return none on failure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct sparse_file;

// A new empty image of `len` bytes in blocks of block_size bytes (a non-zero multiple of 4,
// with at most 2^32 - 1 blocks), or none.
sparse_file* sparse_file_new(unsigned int block_size, int64_t len);
void sparse_file_destroy(sparse_file* s);

// Runs of len bytes starting at block `block`. Memory behind data and the descriptor stay the
// caller's and must outlive the image; a file name is copied.
int sparse_file_add_data(sparse_file* s, const void* data, unsigned int len, unsigned int block);
int sparse_file_add_fill(sparse_file* s, uint32_t fill_val, unsigned int len, unsigned int block);
int sparse_file_add_file(sparse_file* s, const char* filename, int64_t file_offset,
                         unsigned int len, unsigned int block);
int sparse_file_add_fd(sparse_file* s, int fd, int64_t file_offset, unsigned int len,
                       unsigned int block);

// Chunks of the sparse encoding, the CRC32 chunk not counted.
int sparse_count_chunks(sparse_file* s);

// Writes the image at the descriptor's position: the sparse format (sparse) or the expanded
// image, with a trailing CRC32 chunk (crc, sparse only). gz is not available (-ENOMEM).
int sparse_file_write(sparse_file* s, int fd, bool gz, bool sparse, bool crc);

// The same through a callback; `data` is none for stretches the normal encoding passes over.
// A negative result of the callback stops the writing.
int sparse_file_callback(sparse_file* s, bool sparse, bool crc,
                         int (*write)(void* priv, const void* data, int len), void* priv);

// Bytes that sparse_file_callback delivers with the same options, or -1.
int64_t sparse_file_len(sparse_file* s, bool sparse, bool crc);

// Cuts the image into pieces whose sparse encodings each take at most max_len bytes: the
// number of pieces needed, the first out_count of them handed out in `out` (each with the full
// length of `in`; blocks handed out leave `in`). -EINVAL when max_len cannot hold one block.
int sparse_file_resparse(sparse_file* in, unsigned int max_len, sparse_file** out,
                         int out_count);

// Makes the reader report what is wrong with a file through sparse_print_verbose.
void sparse_file_verbose(sparse_file* s);

// Reads a sparse image from the descriptor's position (none when it is not a valid one).
// The runs refer to the descriptor: keep it open while the image is written.
sparse_file* sparse_file_import(int fd, bool verbose, bool crc);
// The same for an image held in memory: its raw payloads become runs of that memory, which
// must outlive the image; every raw payload must lie inside the len bytes.
sparse_file* sparse_file_import_buf(const void* data, size_t len, bool verbose, bool crc);
// A sparse image, or else the file as a normal image in blocks of 4096 bytes.
sparse_file* sparse_file_import_auto(int fd, bool crc, bool verbose);
// Adds the content of the descriptor to s, as a sparse image (sparse) or a normal one.
int sparse_file_read(sparse_file* s, int fd, bool sparse, bool crc);

// 1 (after printing "sparse format detected\n") when the freshly opened file is a sparse
// image, 0 otherwise. Moves the file position.
int sparse_img_probe(int fd);

// What the probe makes of an image, with the reason when the file starts like a sparse image but
// is not a whole one.
enum sparse_image_kind {
    SPARSE_IMAGE_NOT = 0,       // no sparse magic where the file is positioned: a normal image
    SPARSE_IMAGE_WHOLE = 1,     // a sparse image that the import accepts, every payload present
    SPARSE_IMAGE_DAMAGED = -1,  // the sparse magic, but the checks fail: *reason says which
};
// Checks the image at the descriptor's position as sparse_img_probe does, without printing; on
// SPARSE_IMAGE_DAMAGED, *reason says what is wrong, in words that follow "looks like a sparse
// image but " ("chunk 7 of 9 is cut short", "its chunks cover 3 blocks, but its header says 4";
// chunks counted from 0, as "vsimg info" lists them). A single burn takes a damaged image as a
// normal one, as the probe does, and says why; a burn plan, where nothing is sent before every
// step is checked, refuses it at the check with that reason unless its step names the type
// normal. Unlike the probe, a last raw payload missing from the end of the file counts as
// damaged. The file position is left as it was.
int sparse_img_diagnose(int fd, std::string* reason);

// Print hooks for the reader's reports; both start as sparse_default_print (standard error).
extern void (*sparse_print_error)(const char* fmt, ...);
extern void (*sparse_print_verbose)(const char* fmt, ...);
void sparse_default_print(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
