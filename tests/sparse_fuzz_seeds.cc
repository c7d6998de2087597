// Writes the seed corpus of the sparse reader's fuzz target into the folder given.
#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <vector>

#include "tests/sparse_seed_images.h"

// Inputs in the target's own language (tests/fuzz_sparse.cc): one or two for each family of
// checks, so that even a short run reaches them all. Family, block size, flags, selector, then
// the chunks, runs or stretches of the image.
static std::vector<std::pair<std::string, std::string>> described() {
    auto bytes = [](std::initializer_list<int> v) {
        std::string s;
        for (int b : v) s += char(b);
        return s;
    };
    const std::string chunks = bytes({0, 3, 1, 2, 0x44, 0x33, 0x22, 0x11, 2, 1, 1, 1, 0, 0, 0, 0});
    return {
        {"described-read", bytes({0, 5, 1, 0x06}) + chunks},
        {"described-rewrite", bytes({1, 3, 1, 0x25}) + chunks},
        {"described-normal", bytes({2, 3, 0, 0x20}) + chunks},
        {"described-resparse", bytes({3, 1, 0, 0x23}) + chunks},
        {"described-runs", bytes({1, 5, 64, 0x04, 3, 0, 8, 0, 40, 1, 16, 2, 0x11, 0x22, 0x33, 0x44,
                                  2, 100, 0, 7})},
        {"described-stream", bytes({4, 0, 0, 0x08, 3, 2, 1, 1, 0x11, 0x22, 0x33, 0x44, 0, 5, 2, 1,
                                    9, 9, 9, 9, 0x10, 1, 0xE0, 3, 3, 1})},
        {"described-stream-crc", bytes({4, 0, 0, 0x15, 1, 0, 0, 0, 0, 0, 0x60, 2, 3, 0, 2})},
    };
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: sparse_fuzz_seeds <folder>\n");
        return 2;
    }
    std::string dir = argv[1];
    // The folder and its parents.
    for (size_t at = 1; at != std::string::npos; at = dir.find('/', at + 1))
        mkdir(dir.substr(0, at).c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    auto seeds = sparseseeds::images();
    for (auto& d : described()) seeds.push_back(d);
    for (const auto& [name, bytes] : seeds) {
        std::ofstream out(dir + "/" + name, std::ios::binary);
        out << bytes;
        if (!out) {
            fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), name.c_str());
            return 1;
        }
    }
    return 0;
}
