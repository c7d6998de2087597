#include "util/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

struct Subprocess {
    pid_t pid = -1;
    int out = -1;
    bool reaped = false;
    int status = 0;
};

namespace {

int decoded_status(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return 1;
}

// The child's descriptors: the null device in, the pipe's write end out for both streams.
bool set_file_actions(posix_spawn_file_actions_t* actions, int write_end) {
    return posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
           posix_spawn_file_actions_adddup2(actions, write_end, 1) == 0 &&
           posix_spawn_file_actions_adddup2(actions, write_end, 2) == 0;
}

// A group of its own, and the default handling of the signals the parent catches: a handled
// signal is reset by exec anyway, an ignored one would stay ignored.
bool set_attributes(posix_spawnattr_t* attr) {
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&none);
    return posix_spawnattr_setpgroup(attr, 0) == 0 && posix_spawnattr_setsigdefault(attr, &defaults) == 0 &&
           posix_spawnattr_setsigmask(attr, &none) == 0 &&
           posix_spawnattr_setflags(attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
}

int spawn(const std::vector<std::string>& argv, int write_end, pid_t* pid) {
    std::vector<char*> words;
    for (const std::string& w : argv) words.push_back(const_cast<char*>(w.c_str()));
    words.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    int err = set_file_actions(&actions, write_end) && set_attributes(&attr)
                  ? posix_spawn(pid, words[0], &actions, &attr, words.data(), environ)
                  : ENOMEM;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return err;
}

}  // namespace

SubprocessPtr subprocess_start(const std::vector<std::string>& argv, std::string* error) {
    if (argv.empty()) {
        *error = "no program to start";
        return nullptr;
    }
    // Close-on-exec on both ends, so that no other child holds this pipe open: its end of output
    // comes when this child (and what it started) is done.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = std::string("cannot make a pipe: ") + strerror(errno);
        return nullptr;
    }
    SubprocessPtr child(new Subprocess);
    int err = spawn(argv, fds[1], &child->pid);
    close(fds[1]);
    if (err != 0) {
        close(fds[0]);
        child->reaped = true;
        *error = "cannot start " + argv[0] + ": " + strerror(err);
        return nullptr;
    }
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    child->out = fds[0];
    return child;
}

void subprocess_wait_output(const std::vector<Subprocess*>& children, int timeout_ms) {
    std::vector<pollfd> fds;
    for (Subprocess* c : children)
        if (c->out >= 0) fds.push_back(pollfd{c->out, POLLIN, 0});
    // A signal cuts the wait short (EINTR), which is what the caller wants.
    poll(fds.data(), fds.size(), timeout_ms);
}

long subprocess_read(Subprocess* child, char* buf, size_t len) {
    if (child->out < 0) return -1;
    ssize_t n = read(child->out, buf, len);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    close(child->out);
    child->out = -1;
    return -1;
}

bool subprocess_exited(Subprocess* child, int* status) {
    if (!child->reaped) {
        int raw = 0;
        pid_t r = waitpid(child->pid, &raw, WNOHANG);
        if (r == child->pid) {
            child->reaped = true;
            child->status = decoded_status(raw);
        } else if (r < 0 && errno == ECHILD) {
            child->reaped = true;
            child->status = 1;
        }
    }
    if (child->reaped) *status = child->status;
    return child->reaped;
}

bool subprocess_wait(Subprocess* child, int timeout_ms, int* status) {
    for (int waited = 0;; waited += 10) {
        if (subprocess_exited(child, status)) return true;
        if (timeout_ms >= 0 && waited >= timeout_ms) return false;
        usleep(10000);
    }
}

void subprocess_terminate(Subprocess* child) {
    if (!child->reaped) kill(child->pid, SIGTERM);
}

void subprocess_kill(Subprocess* child) {
    if (!child->reaped) kill(child->pid, SIGKILL);
}

void SubprocessDeleter::operator()(Subprocess* child) const {
    int status;
    if (!subprocess_exited(child, &status)) {
        subprocess_kill(child);
        subprocess_wait(child, -1, &status);
    }
    if (child->out >= 0) close(child->out);
    delete child;
}
