// Writes the seed corpus of the sparse reader's fuzz target into the folder given.
#include <cstdio>
#include <fstream>
#include <sys/stat.h>

#include "tests/sparse_seed_images.h"

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
    for (const auto& [name, bytes] : sparseseeds::images()) {
        std::ofstream out(dir + "/" + name, std::ios::binary);
        out << bytes;
        if (!out) {
            fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), name.c_str());
            return 1;
        }
    }
    return 0;
}
