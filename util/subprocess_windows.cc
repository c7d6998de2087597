#include "util/subprocess.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "util/platform.h"

struct Subprocess {
    HANDLE process = nullptr;
    DWORD pid = 0;
    HANDLE out = nullptr;
    // Set to ask the child to stop (see subprocess_terminate).
    HANDLE stop = nullptr;
    bool ended = false;
    int status = 0;
};

namespace {

// One word of a command line as the C runtime of the child splits it again: quoted when it has
// blanks or quotes, a quote escaped, and the backslashes before a quote (or the closing quote)
// doubled.
std::string quoted(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) return word;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

std::string command_line(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& w : argv) line += (line.empty() ? "" : " ") + quoted(w);
    return line;
}

std::string last_error_text(const std::string& what) {
    return what + " (Windows error " + std::to_string(GetLastError()) + ")";
}

HANDLE inheritable_null_input() {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    return CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
}

// An event the child inherits, its handle's number in the child's VORN_STOP_EVENT; nullptr when
// none could be made (the child is then stopped by Ctrl-Break alone).
HANDLE inheritable_stop_event() {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE stop = CreateEventA(&sa, TRUE, FALSE, nullptr);
    if (!stop) return nullptr;
    char number[32];
    snprintf(number, sizeof(number), "%llu", (unsigned long long)(uintptr_t)stop);
    SetEnvironmentVariableA(kStopEventVariable, number);
    return stop;
}

}  // namespace

SubprocessPtr subprocess_start(const std::vector<std::string>& argv, std::string* error) {
    if (argv.empty()) {
        *error = "no program to start";
        return nullptr;
    }
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &sa, 1 << 16)) {
        *error = last_error_text("cannot make a pipe");
        return nullptr;
    }
    // Only the write end goes to the child; the parent's read end must not be inherited, or the
    // output of one child would never end while another runs.
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE null_in = inheritable_null_input();
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = null_in;
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    PROCESS_INFORMATION pi = {};
    std::string line = command_line(argv);
    HANDLE stop = inheritable_stop_event();
    BOOL started = CreateProcessA(argv[0].c_str(), &line[0], nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                                  nullptr, nullptr, &si, &pi);
    if (!started) *error = last_error_text("cannot start " + argv[0]);
    SetEnvironmentVariableA(kStopEventVariable, nullptr);
    if (!started && stop) CloseHandle(stop);
    CloseHandle(write_end);
    if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
    if (!started) {
        CloseHandle(read_end);
        return nullptr;
    }
    CloseHandle(pi.hThread);
    SubprocessPtr child(new Subprocess);
    child->process = pi.hProcess;
    child->pid = pi.dwProcessId;
    child->out = read_end;
    child->stop = stop;
    return child;
}

namespace {

// Bytes waiting in the pipe; -1 once the writers have all gone and nothing is left.
long available(Subprocess* child) {
    if (!child->out) return -1;
    DWORD n = 0;
    if (!PeekNamedPipe(child->out, nullptr, 0, nullptr, &n, nullptr)) return -1;
    return static_cast<long>(n);
}

}  // namespace

void subprocess_wait_output(const std::vector<Subprocess*>& children, int timeout_ms) {
    // Anonymous pipes cannot be waited on together: look every few milliseconds.
    for (int waited = 0;; waited += 10) {
        for (Subprocess* c : children)
            if (available(c) != 0) return;
        if (waited >= timeout_ms) return;
        Sleep(10);
    }
}

long subprocess_read(Subprocess* child, char* buf, size_t len) {
    long n = available(child);
    if (n == 0) return 0;
    DWORD got = 0;
    if (n < 0 || !ReadFile(child->out, buf, static_cast<DWORD>(len < (size_t)n ? len : (size_t)n), &got, nullptr) ||
        got == 0) {
        if (child->out) CloseHandle(child->out);
        child->out = nullptr;
        return -1;
    }
    return static_cast<long>(got);
}

bool subprocess_wait(Subprocess* child, int timeout_ms, int* status) {
    if (!child->ended) {
        if (WaitForSingleObject(child->process, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms)) !=
            WAIT_OBJECT_0)
            return false;
        DWORD code = 1;
        GetExitCodeProcess(child->process, &code);
        child->ended = true;
        child->status = static_cast<int>(code);
    }
    *status = child->status;
    return true;
}

bool subprocess_exited(Subprocess* child, int* status) { return subprocess_wait(child, 0, status); }

void subprocess_terminate(Subprocess* child) {
    if (child->ended) return;
    // Ctrl-Break reaches the child's group only when the parent shares a console with it; the
    // event reaches it however the station runs (from a service, with its output in a file).
    bool asked = child->stop && SetEvent(child->stop);
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child->pid) && !asked) subprocess_kill(child);
}

void subprocess_kill(Subprocess* child) {
    if (!child->ended) TerminateProcess(child->process, 1);
}

void SubprocessDeleter::operator()(Subprocess* child) const {
    int status;
    if (!subprocess_exited(child, &status)) {
        subprocess_kill(child);
        subprocess_wait(child, -1, &status);
    }
    if (child->out) CloseHandle(child->out);
    if (child->stop) CloseHandle(child->stop);
    CloseHandle(child->process);
    delete child;
}
