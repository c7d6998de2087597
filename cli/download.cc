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
// A key is 16 bytes on the wire; one byte more tells a longer key file, which is trimmed.
constexpr long long kKeyReadMax = 17;

int fail_closed(int fd, int code) {
    close(fd);
    return code;
}

int queue_boot_loader(const char* path, bool bl1) {
    if (!path) {
        qrx_log_out("ERR[VXN]", "missing -f <bootloaderPath> for %s\n", bl1 ? "bl1_boot" : "bl2_boot");
        return bl1 ? -518 : -500;
    }
    long long size = 0;
    int fd = open_sized_input(path, &size);
    if (fd == -2) {
        int err = errno;
        qrx_log_out("ERR[VXN]", "Fail in open file %s\n", path);
        log_file_reason(path, err);
        return bl1 ? -518 : -500;
    }
    if (fd < 0) {
        int err = errno;
        qrx_log_out("ERR[VXN]", "Fail in get sz of file(%s)\n", path);
        log_file_reason(path, err);
        return bl1 ? -524 : -506;
    }
    if (bl1)
        fb_queue_bl1boot(fd_to_slot(fd), size, path);
    else
        fb_queue_bl2boot(fd_to_slot(fd), size, path);
    return 0;
}

// A key is read up to the end of its file, whatever kind of file it is (a pipe or a process
// substitution reports no size), but never more than one byte past what is used. An empty key is
// refused: a failed key-generation step must not become a key of zeros burnt for good.
int queue_key(const char* path, long long size, long long offset) {
    int fd = open_host_file(path, O_RDONLY);
    if (fd < 0) {
        qrx_log_out("ERR[VXN]", "Fail in open file(%s), err(%s)\n", path, strerror(errno));
        return -404;
    }
    if (offset != 0 && lseek(fd, (off_t)offset, SEEK_SET) != (off_t)offset) {
        qrx_log_out("ERR[VXN]", "illegal file offset or downsize\n");
        return fail_closed(fd, -410);
    }
    const long long want = (size > 0 && size < kKeyReadMax) ? size : kKeyReadMax;
    void* buf = fb_queue_own(calloc(1, 128));
    if (!buf) die("out of memory");
    long long got = read_full(fd, buf, (size_t)want);
    if (got < 0 || (size > 0 && got < want)) {
        int err = got < 0 ? errno : 0;
        qrx_log_out("ERR[VXN]", "Fail in read file\n");
        if (err) log_file_reason(path, err);
        return fail_closed(fd, -428);
    }
    // The trimming line tells the whole length where the file has one.
    long long len = size > 0 ? size : got;
    if (size == 0 && got == kKeyReadMax) {
        long long whole = sized_input_size(fd);
        if (whole - offset > got) len = whole - offset;
    }
    close(fd);
    if (got == 0) {
        qrx_log_out("ERR[VXN]", "key file %s is empty, no key sent\n", path);
        return -430;
    }
    fb_queue_setKey(path, buf, (unsigned)(len > 0xFFFFFFFFll ? 0xFFFFFFFFll : len));
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
    if (strcmp(words[0], "setkey") == 0) return queue_key(words[1], size, offset);

    long long fsize = 0;
    int fd = open_sized_input(words[1], &fsize);
    if (fd < 0) {
        qrx_log_out("ERR[VXN]", "Fail in open file(%s), err(%s)\n", words[1], file_error_text(errno));
        return -404;
    }
    long long end;
    if (offset != 0 && (__builtin_add_overflow(size, offset, &end) || end > fsize)) {
        qrx_log_out("ERR[VXN]", "illegal file offset or downsize\n");
        return fail_closed(fd, -410);
    }
    if (size == 0) size = fsize - offset;
    if (size > downloadSzMax) {
        // The line names the file size; when the file is not what is too large, the size asked
        // for is named instead.
        if (fsize > downloadSzMax)
            qrx_log_out("ERR[VXN]", "filesz=0x%llx too large\n", fsize);
        else
            qrx_log_out("ERR[VXN]", "download size 0x%llx too large, at most 0x%llx\n", size,
                        downloadSzMax);
        return fail_closed(fd, -416);
    }
    // Asking for more than the file holds fails the read anyway; refuse it before allocating.
    if (size > fsize - offset || size == 0) {
        qrx_log_out("ERR[VXN]", "Fail in read file\n");
        return fail_closed(fd, -428);
    }
    size_t alloc = ((size_t)size + 127) & ~(size_t)127;
    void* buf = malloc(alloc);
    if (!buf) {
        qrx_log_out("ERR[VXN]", "Fail in alloc buf with sz 0x%llx\n", size);
        return fail_closed(fd, -422);
    }
    long long got = read_full_at(fd, buf, size, offset);
    if (got != size) {
        int err = got < 0 ? errno : 0;
        free(buf);
        qrx_log_out("ERR[VXN]", "Fail in read file\n");
        if (err) log_file_reason(words[1], err);
        return fail_closed(fd, -428);
    }
    fb_queue_own(buf);
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
