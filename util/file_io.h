// Whole reads from files: read(2) may return less than asked for large counts or on signals.
#pragma once

// Reads up to `size` bytes at `offset` (pread, the file position is untouched) until the count is
// reached or the file ends; the count read, or -1 on an error (errno set).
long long read_full_at(int fd, void* buf, long long size, long long offset);
