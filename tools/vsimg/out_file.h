// An output file that appears under its final name only when it is complete: it is written as
// a temporary file beside it and renamed at the end, or removed on failure.
#pragma once
#include <string>

struct OutFile {
    std::string path;
    std::string tmp_path;
    int fd = -1;
};

// Creates the temporary file; false (with a message) on failure.
bool out_file_open(OutFile* out, const std::string& path);
// Closes and renames; false (with a message, the temporary file removed) on failure.
bool out_file_commit(OutFile* out);
// Closes and removes the temporary file.
void out_file_abort(OutFile* out);
