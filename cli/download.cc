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
#include "util/owned.h"
#include "util/platform.h"

namespace {

// A RAM download is held in memory in one piece; this bounds that buffer.
constexpr long long downloadSzMax = 0x20000000;
// A key is 16 bytes on the wire; one byte more tells a longer key file, which is trimmed.
constexpr long long kKeyReadMax = 17;

// The refusal of a file that gave fewer bytes than asked for, with the system's reason when
// the read itself failed (got < 0).
int refuse_short_read(const char* path, long long got) {
    int err = got < 0 ? errno : 0;
    qrx_log_out("ERR[VXN]", "Fail in read file\n");
    if (err) log_file_reason(path, err);
    return -428;
}

int queue_boot_loader(const char* path, bool bl1) {
    if (!path) {
        qrx_log_out("ERR[VXN]", "missing -f <bootloaderPath> for %s\n", bl1 ? "bl1_boot" : "bl2_boot");
        return bl1 ? -518 : -500;
    }
    long long size = 0;
    OwnedFd fd;
    int r = open_handler_input(path, &size, bl1 ? -518 : -500, bl1 ? -524 : -506, &fd);
    if (r) return r;
    if (bl1)
        fb_queue_bl1boot(fd_to_slot(fd.release()), size, path);
    else
        fb_queue_bl2boot(fd_to_slot(fd.release()), size, path);
    return 0;
}

// A key is read up to the end of its file, whatever kind of file it is (a pipe or a process
// substitution reports no size), but never more than one byte past what is used. An empty key is
// refused: a failed key-generation step must not become a key of zeros burnt for good.
int queue_key(const char* path, long long size, long long offset) {
    OwnedFd fd(open_host_file(path, O_RDONLY));
    if (fd.get() < 0) {
        qrx_log_out("ERR[VXN]", "Fail in open file(%s), err(%s)\n", path, strerror(errno));
        return -404;
    }
    if (offset != 0 && lseek(fd.get(), (off_t)offset, SEEK_SET) != (off_t)offset) {
        qrx_log_out("ERR[VXN]", "illegal file offset or downsize\n");
        return -410;
    }
    const long long want = (size > 0 && size < kKeyReadMax) ? size : kKeyReadMax;
    void* buf = fb_queue_own(calloc(1, 128));
    if (!buf) die("out of memory");
    long long got = read_full(fd.get(), buf, (size_t)want);
    if (got < 0 || (size > 0 && got < want)) return refuse_short_read(path, got);
    // The trimming line tells the whole length where the file has one.
    long long len = size > 0 ? size : got;
    if (size == 0 && got == kKeyReadMax) {
        long long whole = sized_input_size(fd.get());
        if (whole - offset > got) len = whole - offset;
    }
    if (got == 0) {
        qrx_log_out("ERR[VXN]", "key file %s is empty, no key sent\n", path);
        return -430;
    }
    fb_queue_setKey(path, buf, (unsigned)(len > 0xFFFFFFFFll ? 0xFFFFFFFFll : len));
    return 0;
}

// Reads `size` bytes (0: the rest of the file) from `offset` into one buffer and queues their
// download.
int queue_ram_download(const char* path, long long size, long long offset) {
    long long fsize = 0;
    OwnedFd fd(open_sized_input(path, &fsize));
    if (fd.get() < 0) {
        qrx_log_out("ERR[VXN]", "Fail in open file(%s), err(%s)\n", path, file_error_text(errno));
        return -404;
    }
    long long end;
    if (offset != 0 && (__builtin_add_overflow(size, offset, &end) || end > fsize)) {
        qrx_log_out("ERR[VXN]", "illegal file offset or downsize\n");
        return -410;
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
        return -416;
    }
    // Asking for more than the file holds fails the read anyway; refuse it before allocating.
    if (size > fsize - offset || size == 0) return refuse_short_read(path, 0);
    OwnedBlock<void> buf(malloc(((size_t)size + 127) & ~(size_t)127));
    if (!buf) {
        qrx_log_out("ERR[VXN]", "Fail in alloc buf with sz 0x%llx\n", size);
        return -422;
    }
    long long got = read_full_at(fd.get(), buf.get(), size, offset);
    if (got != size) return refuse_short_read(path, got);
    fb_queue_download(path, fb_queue_own(buf.release()), (unsigned)size);
    return 0;
}

}  // namespace

int do_qrx_download(int count, char** words) {
    if (!require_words(391, 2, count)) return kTooFewWords;
    // The offset is kept in 64 bits: cutting it to 32 would read a different part of a large file.
    long long size = 0, offset = 0;
    parse_size_offset(words, count, &size, &offset);
    if (size < 0 || offset < 0) {
        qrx_log_out("ERR[VXN]", "illegal %s [%s] for %s\n", size < 0 ? "size" : "offset",
                    size < 0 ? words[2] : words[3], words[0]);
        return size < 0 ? -407 : -408;
    }
    if (strcmp(words[0], "setkey") == 0) return queue_key(words[1], size, offset);
    return queue_ram_download(words[1], size, offset);
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
