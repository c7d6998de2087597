#include "util/staged_output.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "util/platform.h"

namespace {

// Every staged output whose temporary file exists. Each change is one pointer store, so the list
// is whole at any moment the signal handler may look at it.
StagedOutput* volatile open_outputs = nullptr;
bool signals_left = false;

void remove_temps_in_handler() {
    for (StagedOutput* o = open_outputs; o; o = o->next_open) {
        // Windows removes no file that is still open.
        if (o->fd >= 0) close(o->fd);
        if (o->temp[0]) unlink_in_handler(o->temp);
    }
}

void on_signal(int sig) {
    remove_temps_in_handler();
    ending_signal_default(sig);
}

void remove_temps_at_exit() {
    while (open_outputs) staged_output_discard(open_outputs);
}

void track(StagedOutput* out) {
    static bool hooked = false;
    if (!hooked) {
        hooked = true;
        atexit(remove_temps_at_exit);
        if (!signals_left) on_ending_signals(on_signal);
    }
    out->next_open = open_outputs;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    open_outputs = out;
}

void untrack(StagedOutput* out) {
    for (StagedOutput* volatile* at = &open_outputs; *at; at = &(*at)->next_open) {
        if (*at == out) {
            *at = out->next_open;
            break;
        }
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// A target that exists and is not a regular file (a terminal, /dev/null, a FIFO) is written
// directly: renaming over it would replace a device node by a file.
bool write_directly(const char* target) {
    struct stat st;
    return stat(target, &st) == 0 && !S_ISREG(st.st_mode);
}

int create_temp(StagedOutput* out) {
    int dir_len = (int)staged_output_folder_length(out->target);
    const char* base = out->target + dir_len;
    char prefix[sizeof(out->temp)];
    snprintf(prefix, sizeof(prefix), "%.*s.%s.part-", dir_len, out->target, base);
    std::string path;
    out->fd = make_temp_file(prefix, &path);
    if (out->fd < 0 || path.size() >= sizeof(out->temp)) {
        if (out->fd >= 0) {
            close(out->fd);
            unlink(path.c_str());
            out->fd = -1;
            errno = ENAMETOOLONG;
        }
        out->temp[0] = '\0';
        return -1;
    }
    snprintf(out->temp, sizeof(out->temp), "%s", path.c_str());
    track(out);
    return 0;
}

}  // namespace

size_t staged_output_folder_length(const char* path) {
    size_t len = 0;
    for (size_t i = 0; path[i]; i++)
        if (strchr(path_separators(), path[i])) len = i + 1;
    return len;
}

int staged_output_open(StagedOutput* out, const char* target, mode_t mode) {
    out->fd = -1;
    out->temp[0] = '\0';
    out->next_open = nullptr;
    if (strlen(target) >= sizeof(out->target)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (write_directly(target)) {
        snprintf(out->target, sizeof(out->target), "%s", target);
        // A FIFO without a reader would block the open for good; it fails with ENXIO instead.
        out->fd = open_without_waiting(target, O_WRONLY);
        return out->fd < 0 ? -1 : 0;
    }
    snprintf(out->target, sizeof(out->target), "%s", link_target(target).c_str());
    if (create_temp(out) != 0) return -1;
    // A replaced file keeps the permissions it had; a new one gets those asked for.
    keep_file_mode(out->fd, out->target, (int)mode);
    return 0;
}

int staged_output_commit(StagedOutput* out) {
    int fd = out->fd;
    out->fd = -1;
    if (!out->temp[0]) return fd >= 0 ? close(fd) : 0;
    int r = flush_to_disk(fd);
    int err = errno;
    if (close(fd) != 0 && r == 0) {
        r = -1;
        err = errno;
    }
    if (r == 0 && replace_file(out->temp, out->target) == 0) {
        untrack(out);
        out->temp[0] = '\0';
        return 0;
    }
    if (r == 0) err = errno;
    untrack(out);
    unlink(out->temp);
    out->temp[0] = '\0';
    errno = err;
    return -1;
}

void staged_output_discard(StagedOutput* out) {
    int err = errno;
    untrack(out);
    if (out->fd >= 0) close(out->fd);
    out->fd = -1;
    if (out->temp[0]) unlink(out->temp);
    out->temp[0] = '\0';
    errno = err;
}

void staged_output_leave_ending_signals() { signals_left = true; }

void staged_output_remove_temps() { remove_temps_in_handler(); }
