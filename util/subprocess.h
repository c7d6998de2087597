// Child processes whose output is read while they run: a station runs one vorn per board and
// follows each through its lines. The child reads nothing (its input is the null device) and
// writes its standard output and standard error into one pipe that the parent reads without
// waiting. subprocess_posix.cc and subprocess_windows.cc implement it.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct Subprocess;

struct SubprocessDeleter {
    // Ends a child that still runs (killed, then waited for) and releases its handles.
    void operator()(Subprocess* child) const;
};
using SubprocessPtr = std::unique_ptr<Subprocess, SubprocessDeleter>;

// Starts the program argv[0] (a path, not searched) with the words argv. The child runs in a
// process group of its own, so that a Ctrl-C at the terminal reaches the parent alone, which
// decides what the children get. nullptr with the reason in *error.
SubprocessPtr subprocess_start(const std::vector<std::string>& argv, std::string* error);

// Waits at most timeout_ms until one of the children has output (or its end of output) to be
// read, or a signal came.
void subprocess_wait_output(const std::vector<Subprocess*>& children, int timeout_ms);

// Reads what the child has written without waiting: the count read, 0 when nothing is there now,
// -1 once its output has ended (the child and all it started have closed the pipe).
long subprocess_read(Subprocess* child, char* buf, size_t len);

// True when the child has ended, with its exit status in *status: the status it gave, or 128
// plus the signal that ended it.
bool subprocess_exited(Subprocess* child, int* status);

// Waits at most timeout_ms (-1: without limit) for the child to end; as subprocess_exited.
bool subprocess_wait(Subprocess* child, int timeout_ms, int* status);

// Asks the child to stop (SIGTERM; on Windows a Ctrl-Break to its process group).
void subprocess_terminate(Subprocess* child);
// Ends the child at once.
void subprocess_kill(Subprocess* child);
