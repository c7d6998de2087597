// Test data for the benchmark programs: files of seeded bytes, the same every run, and different
// for each seed (so that no two boards of a benchmark get the same image).
#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

// `size` seeded bytes into `path`; false when the file cannot be written whole.
inline bool write_seeded_file(const std::string& path, size_t size, uint32_t seed) {
    std::vector<unsigned char> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (unsigned char& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = (unsigned char)(x >> 16);
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    bool whole = write(fd, bytes.data(), size) == (ssize_t)size;
    return close(fd) == 0 && whole;
}
