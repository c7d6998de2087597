#include "tools/emu/state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace emu {

namespace {

bool make_dir(const std::string& path, std::string* error) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
}

bool write_file(const std::string& path, const void* data, size_t len, std::string* error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        *error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "cannot write " + path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
        *error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool write_text(const std::string& path, const std::string& text, std::string* error) {
    return write_file(path, text.data(), text.size(), error);
}

// One line per item: bytes that are not printable are written as \xNN, so that a command with
// a line break or binary bytes still takes one line.
std::string line_of(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\n";
}

// A variable name as a file name.
std::string file_name(const std::string& name) {
    std::string out;
    for (char c : name) out += (isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') ? c : '_';
    if (out.empty() || out[0] == '.') out = "_" + out;
    return out;
}

bool write_board(const std::string& dir, const Slot& slot, std::string* error) {
    const board::Board& b = slot.board;
    if (!make_dir(dir, error) || !make_dir(dir + "/downloads", error) ||
        !make_dir(dir + "/keys", error) || !make_dir(dir + "/setvars", error))
        return false;
    std::string commands;
    for (const std::string& c : b.commands) commands += line_of(c);
    if (!write_text(dir + "/commands.txt", commands, error)) return false;
    std::string list;
    for (size_t i = 0; i < b.downloads.size(); i++) {
        const board::Download& d = b.downloads[i];
        std::string name = std::to_string(i + 1) + ".bin";
        list += name + "\t" + std::to_string(d.data.size()) + "\t" + line_of(d.command);
        if (!write_file(dir + "/downloads/" + name, d.data.data(), d.data.size(), error)) return false;
    }
    if (!write_text(dir + "/downloads.txt", list, error)) return false;
    for (size_t i = 0; i < b.keys.size(); i++) {
        std::string path = dir + "/keys/" + std::to_string(i + 1) + ".bin";
        if (!write_file(path, b.keys[i].data(), b.keys[i].size(), error)) return false;
    }
    for (const auto& v : b.setvars) {
        std::string path = dir + "/setvars/" + file_name(v.first) + ".bin";
        if (!write_file(path, v.second.data(), v.second.size(), error)) return false;
    }
    std::string vars;
    for (const auto& v : b.config.vars) vars += line_of(v.first + "=" + v.second);
    if (!write_text(dir + "/vars.txt", vars, error)) return false;
    std::string state;
    state += line_of("serial=" + b.config.serial);
    state += line_of("port=" + slot.port);
    state += "booted=" + std::string(b.booted ? "1" : "0") + "\n";
    state += "gone=" + std::string(b.gone() ? "1" : "0") + "\n";
    // How often the board was plugged in: more than once when it re-enumerated.
    state += "appearances=" + std::to_string(slot.old_nodes.size() + (slot.node ? 1 : 0)) + "\n";
    for (const std::string& r : b.reboots) state += line_of("reboot=" + r);
    if (!write_text(dir + "/state.txt", state, error)) return false;
    for (const auto& f : b.features())
        if (!f->save_state(dir, error)) return false;
    return true;
}

}  // namespace

bool write_state(const std::string& dir, const std::vector<Slot*>& slots, std::string* error) {
    if (!make_dir(dir, error)) return false;
    for (size_t i = 0; i < slots.size(); i++)
        if (!write_board(dir + "/board" + std::to_string(i + 1), *slots[i], error)) return false;
    return true;
}

}  // namespace emu
