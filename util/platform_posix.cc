#include "util/platform.h"

#include <fcntl.h>
#include <signal.h>
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
    std::string at = path;
    // As many links in a row as the system itself follows.
    for (int hops = 0; hops < 40; hops++) {
        struct stat st;
        if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
        char real[PATH_MAX];
        if (realpath(at.c_str(), real)) return real;
        // A link to a file that does not exist yet: the file is made where the link points,
        // a relative target read from the link's own folder.
        char to[PATH_MAX];
        const ssize_t n = readlink(at.c_str(), to, sizeof(to) - 1);
        if (n <= 0) return at;
        to[n] = '\0';
        const size_t slash = at.rfind('/');
        at = (to[0] == '/' || slash == std::string::npos) ? std::string(to) : at.substr(0, slash + 1) + to;
    }
    return at;
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

int file_identity_of(int fd, FileIdentity* id) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    id->size = (long long)st.st_size;
    id->modified_ns = (long long)st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec;
    id->changed_ns = (long long)st.st_ctim.tv_sec * 1000000000ll + st.st_ctim.tv_nsec;
    id->inode = (unsigned long long)st.st_ino;
    id->device = (unsigned long long)st.st_dev;
    return 0;
}

void unlink_in_handler(const char* path) { unlink(path); }

namespace {
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGXCPU, SIGXFSZ};
}  // namespace

void on_ending_signals(void (*handler)(int)) {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // One cleanup at a time: a second signal waits until the first has ended the process.
    for (int sig : kEndingSignals) sigaddset(&sa.sa_mask, sig);
    for (int sig : kEndingSignals) {
        // A signal the parent chose to ignore stays ignored (nohup keeps a hang-up out).
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}

void ending_signal_default(int sig) {
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
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
