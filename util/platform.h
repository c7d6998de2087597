// What differs between the systems the tool runs on, kept in one place so that no other file
// needs to know: the debugger-output channel, sleeping, the executable's own file name, aligned
// buffers, positioned reads, opening host files and making folders. platform_posix.cc and
// platform_windows.cc implement it; the build compiles the one for its target.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

// Hands a text to the system's debugger-output channel; dropped where there is none.
void platform_debugger_output(const char* text);

// Suspends the thread for at least this many milliseconds; the rest of the tool waits through
// sleep_ms (util/pause.h), which tests can observe.
void platform_sleep_ms(unsigned milliseconds);

// The full file name of the running executable; empty when it cannot be told.
std::string executable_path();
// The characters that end a folder name in a path of this system.
const char* path_separators();

// size bytes on an `alignment` boundary (a power of two), or nullptr; only aligned_free
// releases them (the system may keep its own bookkeeping in front of the block).
void* aligned_alloc_bytes(size_t alignment, size_t size);
void aligned_free(void* p);
// The size of a page of memory.
size_t memory_page_size();

// One read of at most len bytes at `offset` that leaves the file position where it was; the
// count read (0 at the end of the file), or -1 with errno set.
long long read_at(int fd, void* buf, size_t len, long long offset);

// open(2) for a host file: always binary (a text-mode open turns "\n" into "\r\n" and stops at
// 0x1A), and not inherited by child processes. `mode` as for open(2) when O_CREAT is given.
int open_host_file(const char* path, int flags, int mode = 0);

// Creates and opens (read and write, binary) a new file whose name is `prefix` followed by a
// few unique characters, with the permissions a new file usually gets; the descriptor, or -1
// with errno set. *path receives the name.
int make_temp_file(const std::string& prefix, std::string* path);
// open_host_file that does not wait for the other end of a FIFO (an open for reading fails or
// returns at once, one for writing fails with ENXIO without a reader); the descriptor then reads
// and writes as usual, waiting for data.
int open_without_waiting(const char* path, int flags);
// Writes what the system holds of the file to its disk; 0, or -1 with errno set.
int flush_to_disk(int fd);
// The file a path names, with a symbolic link followed (the path itself where there is none), so
// that replacing it keeps the link.
std::string link_target(const char* path);
// Gives the file open as fd the permissions of the file `like` where that exists, else `mode` as
// a new file of open(2) would get it.
void keep_file_mode(int fd, const char* like, int mode);
// Renames `from` to `to`, replacing a file that is there already; 0, or -1 with errno set.
int replace_file(const char* from, const char* to);

// A pipe, both ends binary: fds[0] reads what fds[1] writes. 0, or -1 with errno set.
int make_pipe(int fds[2]);

// strerror, but knowing the errno values that the C runtime of Windows has no text for
// (ETIMEDOUT reads "Unknown error" there).
const char* error_text(int errnum);

// Creates a folder the user may read, write and enter; 0, or -1 with errno set.
int make_dir(const char* path);

// What tells one state of a file from another: a file rewritten, replaced, cut or grown in place
// differs in at least one field. `size` is the status size (0 for a device).
struct FileIdentity {
    long long size;
    long long modified_ns;
    long long changed_ns;
    unsigned long long inode;
    unsigned long long device;
};
// The identity of the open file; 0, or -1 with errno set.
int file_identity_of(int fd, FileIdentity* id);

// Removes `path` from within a signal handler (only async-signal-safe calls).
void unlink_in_handler(const char* path);
// Calls `handler` with the signal's number when the process is asked to end from outside (an
// interrupt, a termination, a hang-up, a time limit, where the system has them); the handler
// ends the process itself, by ending_signal_default.
void on_ending_signals(void (*handler)(int));
// On Windows a parent may hand its child an event to set when the child is to end, as a child
// without its parent's console gets no Ctrl-Break: the number of the inherited handle is in this
// variable, and the handler of on_ending_signals is called with SIGTERM once the event is set.
constexpr const char* kStopEventVariable = "VORN_STOP_EVENT";
// Puts back the default action of `sig` and raises it again, so that the process ends as the
// signal would have ended it.
void ending_signal_default(int sig);

// True when `stream` is a terminal that takes the usual escape sequences for moving the cursor
// and clearing lines (on Windows: a console, once asked to take them).
bool terminal_with_cursor_control(FILE* stream);

// An exclusive lock on the whole file open as fd, waited for while another process holds it,
// until unlock_file: processes that append records to one file take it around each append, so
// that none sees another's record half-written. 0, or -1 with errno set.
int lock_file(int fd);
void unlock_file(int fd);
