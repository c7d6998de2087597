#include "util/platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <climits>
#include <vector>

#include "util/owned.h"

void platform_debugger_output(const char*) {
    // No debugger-output channel here: the standard error copy is all there is.
}

void platform_sleep_ms(unsigned milliseconds) {
    timespec t;
    t.tv_sec = milliseconds / 1000;
    t.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    // A signal that is handled cuts the pause short; the rest is still waited.
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

std::string executable_path() {
    std::string path(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", &path[0], path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size()) return std::string();
    path.resize(static_cast<size_t>(n));
    return path;
}

const char* path_separators() {
    return "/";
}

void* aligned_alloc_bytes(size_t alignment, size_t size) {
    void* p = nullptr;
    if (posix_memalign(&p, alignment, size ? size : 1) != 0) return nullptr;
    return p;
}

void aligned_free(void* p) {
    free(p);
}

size_t memory_page_size() {
    static const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<size_t>(page) : 4096;
}

long long read_at(int fd, void* buf, size_t len, long long offset) {
    return pread(fd, buf, len, static_cast<off_t>(offset));
}

int open_host_file(const char* path, int flags, int mode) {
    return open(path, flags | O_CLOEXEC, mode);
}

int make_temp_file(const std::string& prefix, std::string* path) {
    std::vector<char> name(prefix.begin(), prefix.end());
    const char suffix[] = "XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof(suffix));
    int fd = mkstemp(name.data());
    if (fd < 0) return -1;
    *path = name.data();
    // mkstemp makes the file private; the result gets the usual permissions.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return fd;
}

int replace_file(const char* from, const char* to) {
    return rename(from, to);
}

int make_pipe(int fds[2]) {
    return pipe(fds);
}

const char* error_text(int errnum) {
    return strerror(errnum);
}

int make_dir(const char* path) {
    return mkdir(path, 0755);
}

int open_without_waiting(const char* path, int flags) {
    OwnedFd fd(open(path, flags | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return -1;
    int now = fcntl(fd.get(), F_GETFL);
    if (now < 0 || fcntl(fd.get(), F_SETFL, now & ~O_NONBLOCK) != 0) return -1;
    return fd.release();
}

int flush_to_disk(int fd) { return fsync(fd); }

std::string link_target(const char* path) {
    char real[PATH_MAX];
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode) && realpath(path, real)) return real;
    return path;
}

void keep_file_mode(int fd, const char* like, int mode) {
    struct stat st;
    if (stat(like, &st) == 0 && S_ISREG(st.st_mode)) {
        fchmod(fd, st.st_mode & 07777);
        return;
    }
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, (mode_t)mode & 07777 & ~mask);
}

bool terminal_with_cursor_control(FILE* stream) {
    const char* term = getenv("TERM");
    return isatty(fileno(stream)) && !(term && strcmp(term, "dumb") == 0);
}

int lock_file(int fd) {
    int r;
    while ((r = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    return r;
}

void unlock_file(int fd) { flock(fd, LOCK_UN); }
