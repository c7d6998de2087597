// Whole reads from files: read(2) may return less than asked for large counts or on signals.
#pragma once
#include <cstddef>

// Reads up to `size` bytes at `offset` (the file position is untouched) until the count is
// reached or the file ends; the count read, or -1 on an error (errno set).
long long read_full_at(int fd, void* buf, long long size, long long offset);

// Reads from the file position until `len` bytes have come or the file ends; the count read, or
// -1 on an error.
long long read_full(int fd, void* buf, size_t len);
// Writes all `len` bytes unless the file refuses more; the count written, or -1 when nothing
// could be written.
long long write_full(int fd, const void* buf, size_t len);

// Opens a file whose bytes are sent by size and position (images, downloads, boot loaders): a
// regular file, or a block device whose size is found by seeking to its end. Kinds without a
// size are refused before anything would be sent: a directory (EISDIR), and a FIFO, character
// device or socket (ESPIPE); opening never blocks on a FIFO without a writer. The descriptor
// (blocking, at offset 0); -2 when the open failed, -1 when the file was refused or its size is
// not available (descriptor closed); errno tells why. A regular file whose status says 0 bytes
// but which has some (the files of /proc and /sys) has no size either (ENODATA).
int open_sized_input(const char* path, long long* size);

// A file's size as sending it needs it: the status size of a regular file, the end of a block
// device found by seeking; -1 (errno set) for other kinds or a failed call.
long long sized_input_size(int fd);

struct FileIdentity;
// The identity of an input as sending it sees it (file_identity_of, with a block device's size
// found by seeking; the file position is kept). 0, or -1 with errno set.
int input_identity(int fd, FileIdentity* id);
// Whether two identities name the same file in the same state.
bool same_identity(const FileIdentity& a, const FileIdentity& b);

// The reason of a failed file operation in words: the system's text for `err`, or what makes a
// file unusable as an input.
const char* file_error_text(int err);
// Logs the line that follows one naming a failed file: "ERR[VXN]<path>: <reason>".
void log_file_reason(const char* path, int err);
