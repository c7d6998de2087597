// An output file that appears under its final name only when it is complete, written through
// vorn's staged output (util/staged_output.h): a temporary file beside a regular target (or a
// symbolic link's target), renamed at the end; a device node or a FIFO is written straight into.
// The temporary file goes when the write fails, and when the process ends by exit or by an
// interrupt, termination or hang-up.
#pragma once
#include <memory>
#include <string>

struct StagedOutput;

struct OutFile {
    std::string path;
    std::unique_ptr<StagedOutput, void (*)(StagedOutput*)> staged{nullptr, nullptr};
    int fd = -1;
};

// Creates the temporary file; false (with a message) on failure.
bool out_file_open(OutFile* out, const std::string& path);
// Flushes and puts the file in place; false (with a message, the temporary file removed) on
// failure.
bool out_file_commit(OutFile* out);
// Closes and removes the temporary file.
void out_file_abort(OutFile* out);
