#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "cli/handlers.h"
#include "cli/vorn_main.h"
#include "engine/action.h"
#include "engine/queued_ops.h"
#include "util/file_io.h"
#include "util/log.h"
#include "util/platform.h"

namespace {

// A RAM download is held in memory in one piece; this bounds that buffer.
constexpr long long downloadSzMax = 0x20000000;

int fail_closed(int fd, int code) {
    close(fd);
    return code;
}

int queue_boot_loader(const char* path, bool bl1) {
    if (!path) {
        qrx_log_out("ERR[VXN]", "missing -f <bootloaderPath> for %s\n", bl1 ? "bl1_boot" : "bl2_boot");
        return bl1 ? -518 : -500;
    }
    int fd = open_host_file(path, O_RDONLY);
    if (fd < 0) {
        qrx_log_out("ERR[VXN]", "Fail in open file %s\n", path);
        return bl1 ? -518 : -500;
    }
    long long size = get_file_size(fd);
    if (size < 0) {
        qrx_log_out("ERR[VXN]", "Fail in get sz of file(%s)\n", path);
        return fail_closed(fd, bl1 ? -524 : -506);
    }
    if (bl1)
        fb_queue_bl1boot(fd_to_slot(fd), (unsigned)size, path);
    else
        fb_queue_bl2boot(fd_to_slot(fd), (unsigned)size, path);
    return 0;
}

}  // namespace

int do_qrx_download(int count, char** words) {
    require_words(391, 2, count);
    long long size = count >= 3 ? parse_num(words[2]) : 0;
    // The offset is kept in 64 bits: cutting it to 32 would read a different part of a large file.
    long long offset = count >= 4 ? parse_num(words[3]) : 0;
    if (size < 0 || offset < 0) {
        qrx_log_out("ERR[VXN]", "illegal %s [%s] for %s\n", size < 0 ? "size" : "offset",
                    size < 0 ? words[2] : words[3], words[0]);
        return size < 0 ? -407 : -408;
    }
    bool key_mode = strcmp(words[0], "setkey") == 0;

    int fd = open_host_file(words[1], O_RDONLY);
    if (fd < 0) {
        qrx_log_out("ERR[VXN]", "Fail in open file(%s), err(%s)\n", words[1], strerror(errno));
        return -404;
    }
    long long fsize = get_file_size(fd);
    long long end;
    if (offset != 0 && (__builtin_add_overflow(size, offset, &end) || end > fsize)) {
        qrx_log_out("ERR[VXN]", "illegal file offset or downsize\n");
        return fail_closed(fd, -410);
    }
    if (size == 0) size = fsize - offset;
    if (size > downloadSzMax) {
        qrx_log_out("ERR[VXN]", "filesz=0x%llx too large\n", fsize);
        return fail_closed(fd, -416);
    }
    // Asking for more than the file holds fails the read anyway; refuse it before allocating.
    if (size > fsize - offset || (size == 0 && !key_mode)) {
        qrx_log_out("ERR[VXN]", "Fail in read file\n");
        return fail_closed(fd, -428);
    }
    // Keys are filled up to 16 bytes in place, so their buffer has at least that room.
    size_t alloc = ((size_t)size + 127) & ~(size_t)127;
    if (key_mode && alloc < 16) alloc = 16;
    void* buf = malloc(alloc ? alloc : 16);
    if (!buf) {
        qrx_log_out("ERR[VXN]", "Fail in alloc buf with sz 0x%llx\n", size);
        return fail_closed(fd, -422);
    }
    if (read_full_at(fd, buf, size, offset) != size) {
        free(buf);
        qrx_log_out("ERR[VXN]", "Fail in read file\n");
        return fail_closed(fd, -428);
    }
    fb_queue_own(buf);
    if (key_mode)
        fb_queue_setKey(words[1], buf, (unsigned)size);
    else
        fb_queue_download(words[1], buf, (unsigned)size);
    close(fd);
    return 0;
}

int do_qrx_bl2boot(const char* path) { return queue_boot_loader(path, false); }

int do_qrx_bl1boot(const char* path) { return queue_boot_loader(path, true); }

int do_oem_command(int count, char** words) {
    if (count <= 1) return 0;
    std::string text = "oem";
    for (int i = 1; i < count; i++) {
        text += ' ';
        text += words[i];
    }
    // An empty message, not none: the executor prints a bare "..." line before the command.
    fb_queue_command(text.c_str(), "");
    return 0;
}
