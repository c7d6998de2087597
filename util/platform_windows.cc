#include "util/platform.h"

#include <fcntl.h>
#include <io.h>
#include <direct.h>
#include <malloc.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "util/numbers.h"

void platform_debugger_output(const char* text) {
    OutputDebugStringA(text);
}

void platform_sleep_ms(unsigned milliseconds) {
    Sleep(milliseconds);
}

std::string executable_path() {
    // Paths may be longer than MAX_PATH; GetModuleFileNameA cuts the name to the buffer and
    // says so by filling it completely.
    std::vector<char> buf(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return std::string();
        if (n < buf.size()) return std::string(buf.data(), n);
        if (buf.size() >= 32768) return std::string();
        buf.resize(buf.size() * 2);
    }
}

const char* path_separators() {
    return "\\/";
}

void* aligned_alloc_bytes(size_t alignment, size_t size) {
    return _aligned_malloc(size ? size : 1, alignment);
}

void aligned_free(void* p) {
    _aligned_free(p);
}

size_t memory_page_size() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize ? info.dwPageSize : 4096;
}

long long read_at(int fd, void* buf, size_t len, long long offset) {
    // The C runtime has no positioned read: seek, read, and put the position back.
    long long saved = _lseeki64(fd, 0, SEEK_CUR);
    if (saved < 0 || _lseeki64(fd, offset, SEEK_SET) < 0) return -1;
    unsigned want = len > INT_MAX ? INT_MAX : static_cast<unsigned>(len);
    int n = _read(fd, buf, want);
    int err = errno;
    _lseeki64(fd, saved, SEEK_SET);
    errno = err;
    return n;
}

int open_host_file(const char* path, int flags, int mode) {
    int pmode = _S_IREAD | ((mode & 0222) ? _S_IWRITE : 0);
    return _open(path, flags | _O_BINARY | _O_NOINHERIT, pmode);
}

int make_temp_file(const std::string& prefix, std::string* path) {
    // The C runtime's _mktemp knows only 26 names per pattern; the process id and a count give
    // as many as needed, and a name that is taken already is passed over.
    static unsigned count = 0;
    for (int attempt = 0; attempt < 1000; attempt++) {
        char suffix[32];
        snprintf(suffix, sizeof(suffix), "%lx-%x", GetCurrentProcessId(), count++);
        std::string name = prefix + suffix;
        int fd = open_host_file(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            *path = name;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

int replace_file(const char* from, const char* to) {
    // rename() of the C runtime refuses to replace an existing file.
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return 0;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return -1;
}

int make_pipe(int fds[2]) {
    return _pipe(fds, 65536, _O_BINARY);
}

const char* error_text(int errnum) {
    // The values POSIX added to the classic set, with the texts other systems give them.
    switch (errnum) {
        case ETIMEDOUT: return "Connection timed out";
        case EOVERFLOW: return "Value too large for defined data type";
        case EOPNOTSUPP: return "Operation not supported";
        case ECANCELED: return "Operation canceled";
        default: return strerror(errnum);
    }
}

int make_dir(const char* path) {
    return _mkdir(path);
}

// Windows has no FIFOs that an open could wait for.
int open_without_waiting(const char* path, int flags) { return open_host_file(path, flags); }

int flush_to_disk(int fd) { return _commit(fd); }

// Links are rare on Windows and replacing one replaces the link, which is what MoveFileEx does.
std::string link_target(const char* path) { return path; }

// A new file takes the permissions of its folder: there is no mode to carry over.
void keep_file_mode(int, const char*, int) {}

namespace {
long long filetime_ns(const FILETIME& t) {
    return (long long)((((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime) * 100ull);
}
}  // namespace

int file_identity_of(int fd, FileIdentity* id) {
    HANDLE h = (HANDLE)_get_osfhandle(fd);
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) {
        errno = EBADF;
        return -1;
    }
    id->size = (long long)(((unsigned long long)info.nFileSizeHigh << 32) | info.nFileSizeLow);
    id->modified_ns = filetime_ns(info.ftLastWriteTime);
    // Windows keeps no time of the last change of a file's status; its creation time tells a
    // file put in the place of another one.
    id->changed_ns = filetime_ns(info.ftCreationTime);
    id->inode = ((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    id->device = info.dwVolumeSerialNumber;
    return 0;
}

void unlink_in_handler(const char* path) { DeleteFileA(path); }

namespace {

void (*volatile stop_event_handler)(int) = nullptr;

DWORD WINAPI wait_for_stop_event(void* event) {
    if (WaitForSingleObject(static_cast<HANDLE>(event), INFINITE) == WAIT_OBJECT_0 && stop_event_handler)
        stop_event_handler(SIGTERM);
    return 0;
}

// The event a parent handed over in kStopEventVariable, or nullptr.
HANDLE inherited_stop_event() {
    char number[32];
    DWORD n = GetEnvironmentVariableA(kStopEventVariable, number, sizeof(number));
    if (n == 0 || n >= sizeof(number)) return nullptr;
    long long value = parse_num(number, nullptr);
    if (value <= 0) return nullptr;
    HANDLE event = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    // A number that is not an event of this process is no request to end.
    return WaitForSingleObject(event, 0) == WAIT_FAILED ? nullptr : event;
}

}  // namespace

void on_ending_signals(void (*handler)(int)) {
    // The C runtime runs these on a thread of its own for Ctrl-C and Ctrl-Break.
    signal(SIGINT, handler);
    signal(SIGTERM, handler);
    signal(SIGBREAK, handler);
    static bool watching = false;
    stop_event_handler = handler;
    if (watching) return;
    watching = true;
    if (HANDLE event = inherited_stop_event()) {
        HANDLE thread = CreateThread(nullptr, 0, wait_for_stop_event, event, 0, nullptr);
        if (thread) CloseHandle(thread);
    }
}

void ending_signal_default(int sig) {
    signal(sig, SIG_DFL);
    raise(sig);
}

bool terminal_with_cursor_control(FILE* stream) {
    if (!_isatty(_fileno(stream))) return false;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (!GetConsoleMode(h, &mode)) return false;
    return SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int lock_file(int fd) {
    OVERLAPPED whole = {};
    if (LockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole))
        return 0;
    errno = EIO;
    return -1;
}

void unlock_file(int fd) {
    OVERLAPPED whole = {};
    UnlockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), 0, MAXDWORD, MAXDWORD, &whole);
}
