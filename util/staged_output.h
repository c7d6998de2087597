// An output file that appears only when it is whole: the bytes go to a temporary file in the
// target's folder, which replaces the target only once everything was written and flushed. A
// failed transfer leaves neither a file that looks like a good dump nor an emptied old one. A
// temporary file is also removed when the process ends without putting it in place: by exit, or
// by a signal that asks it to end (an interrupt, a termination, a hang-up, a time limit). Only a
// process killed outright leaves one behind.
#pragma once
#include <sys/types.h>

// A plain record, so that the action queue can own it as one heap block.
struct StagedOutput {
    int fd;
    // Empty when the bytes go straight to the target (a device or FIFO, nothing to replace).
    char temp[4096 + 32];
    char target[4096];
    // The temporary files still open, for the cleanup at exit and in the signal handler.
    StagedOutput* volatile next_open;
};

// Creates the temporary file (with `mode`, as an open with O_CREAT would) next to `target`, or
// opens a target that is not a regular file for writing. 0, or -1 with errno set.
int staged_output_open(StagedOutput* out, const char* target, mode_t mode);
// Flushes the bytes to the disk and puts them in place of the target; 0, or -1 (errno set, the
// temporary file removed, the old target untouched).
int staged_output_commit(StagedOutput* out);
// Drops the temporary file; the target stays as it was.
void staged_output_discard(StagedOutput* out);

// For a program that records why it ends before it ends on those signals (a burn writes its
// record): the signals are left to it, and it removes the temporary files itself, by
// staged_output_remove_temps, before it ends.
void staged_output_leave_ending_signals();
// Closes and removes every temporary file still open; safe in a signal handler and from any
// thread, as the process is about to end.
void staged_output_remove_temps();

// The folder part of `path` (up to and with its last separator of this system; empty for a bare
// name), as the temporary file is made in it.
size_t staged_output_folder_length(const char* path);
