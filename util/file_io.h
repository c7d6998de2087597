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
