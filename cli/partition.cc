// "partition", "upload", "mwrite" and "mread": whole images and slices between host files and a
// partition of the board. The handlers check words and files and queue; nothing is sent here.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <unistd.h>

#include "cli/handlers.h"
#include "cli/partition_sparse.h"
#include "cli/vorn_main.h"
#include "engine/queued_ops.h"
#include "sparse/sparse.h"
#include "util/file_io.h"
#include "util/log.h"
#include "util/platform.h"
#include "util/progress.h"
#include "util/staged_output.h"
#include "util/string_printf.h"

using veltrop::base::StringPrintf;

namespace {

// Shared by "partition" and "upload"; each ignores the long option it has no use for.
const struct option qrxPartOpts[] = {
    {"partname", required_argument, nullptr, 'p'},  {"filepath", required_argument, nullptr, 'f'},
    {"verify", required_argument, nullptr, 'v'},    {"imagetype", required_argument, nullptr, 't'},
    {"media", required_argument, nullptr, 'm'},     {"partoffset", required_argument, nullptr, 'o'},
    {"filesize", required_argument, nullptr, 'z'},  {nullptr, 0, nullptr, 0},
};

struct PartArgs {
    const char* partname = nullptr;
    const char* filepath = nullptr;
    const char* verify = nullptr;
    const char* imagetype = nullptr;
    const char* media = nullptr;
    const char* offset = nullptr;
    const char* filesize = nullptr;
};

// Both letter cases name one option; the last value of an option counts. False after "?".
bool parse_part_options(char** words, int count, const char* shorts, PartArgs* args) {
    // getopt keeps its position in process-wide state; 0 restarts it from scratch (a harness may
    // run several command lines in one process).
    optind = 0;
    int c;
    while ((c = getopt_long(count, words, shorts, qrxPartOpts, nullptr)) != -1) {
        switch (c) {
            case 'P': case 'p': args->partname = optarg; break;
            case 'F': case 'f': args->filepath = optarg; break;
            case 'V': case 'v': args->verify = optarg; break;
            case 'T': case 't': args->imagetype = optarg; break;
            case 'M': case 'm': args->media = optarg; break;
            case 'O': case 'o': args->offset = optarg; break;
            case 'Z': case 'z': args->filesize = optarg; break;
            default: return false;
        }
    }
    return true;
}

// The most a verify file may hold, and one byte more to tell a longer one.
constexpr long long kVerifyMax = 64;

// Queues "oem verify " followed by the verify file's text. The file is read to its end (bounded),
// whatever kind it is: a pipe reports no size.
int queue_verify(const char* path) {
    int fd = open_host_file(path, O_RDONLY);
    if (fd < 0) {
        int err = errno;
        qrx_log_out("ERR[VXN]", "Fail in open file %s\n", path);
        log_file_reason(path, err);
        return -620;
    }
    char text[12 + kVerifyMax + 1] = "oem verify ";
    const size_t prefix = sizeof("oem verify ") - 1;
    long long got = read_full(fd, text + prefix, kVerifyMax + 1);
    int err = errno;
    long long whole = got > kVerifyMax ? get_file_size(fd) : got;
    close(fd);
    if (got > kVerifyMax) {
        qrx_log_out("ERR[VXN]", "verify file sz %lld too large\n", whole > got ? whole : got);
        return -629;
    }
    if (got < 0) {
        qrx_log_out("ERR[VXN]", "FAil in read vry file\n");
        log_file_reason(path, err);
        return -636;
    }
    if (got == 0) {
        qrx_log_out("ERR[VXN]", "verify file %s is empty, nothing to verify\n", path);
        return -637;
    }
    // The bytes are the text as they are; a NUL among them ends it.
    text[prefix + (size_t)got] = '\0';
    fb_queue_command(text, "");
    return 0;
}

// The announcing texts are read by fields separated by blanks: a word with a blank or a control
// character in it (or none at all) would move the fields after it.
bool plain_word(const char* what, const char* word) {
    bool plain = *word != '\0';
    for (const char* p = word; *p && plain; p++)
        plain = !isspace((unsigned char)*p) && !iscntrl((unsigned char)*p);
    if (!plain)
        qrx_log_out("ERR[VXN]", "illegle %s [%s]: blanks and control characters cannot be sent\n", what,
                    word);
    return plain;
}

// The output is written under a temporary name and replaces `path` only when the whole read
// succeeded; creating it here refuses an output that cannot be made before anything is sent.
int queue_read(const char* path, bool progress, long long expected) {
    StagedOutput* out = static_cast<StagedOutput*>(calloc(1, sizeof(StagedOutput)));
    if (!out) die("out of memory");
    if (staged_output_open(out, path, 0700) != 0) {
        int err = errno;
        free(out);
        qrx_log_out("ERR[VXN]", "Fail in open file %s, errno(%d)\n", path, err);
        log_file_reason(path, err);
        return -655;
    }
    fb_queue_mread(out, progress, expected);
    return 0;
}

bool plain_words(const PartArgs& a, const char* media, const char* type) {
    return plain_word("partname", a.partname) && plain_word("media", media) &&
           (!type || plain_word("imagetype", type));
}

}  // namespace

int do_qrx_partition(char** words, int count) {
    require_words(545, 5, count);
    PartArgs a;
    if (!parse_part_options(words, count, "P:p:F:f:V:v:T:t:M:m:O:o:", &a)) {
        qrx_log_out("ERR[VXN]", "invalid option %c\n", '?');
        return -567;
    }
    if (!a.partname) {
        qrx_log_out("ERR[VXN]", "partname is empty\n");
        return -572;
    }
    if (!a.filepath) {
        qrx_log_out("ERR[VXN]", "filePath is emtpy\n");
        return -576;
    }
    const char* media = a.media ? a.media : "store";
    if (!plain_words(a, media, a.imagetype)) return -577;
    long long size = 0;
    int fd = open_sized_input(a.filepath, &size);
    if (fd == -2) {
        int err = errno;
        qrx_log_out("ERR[VXN]", "Fail in open file %s\n", a.filepath);
        log_file_reason(a.filepath, err);
        return -586;
    }
    if (fd < 0) {
        int err = errno;
        qrx_log_out("ERR[VXN]", "Fail in get sz of file(%s)\n", a.filepath);
        log_file_reason(a.filepath, err);
        return -591;
    }
    long long offset = 0;
    if (a.offset) {
        offset = parse_num(a.offset);
        if (offset < 0) {
            qrx_log_out("ERR[VXN]", "illegle offset %s\n", a.offset);
            close(fd);
            return -595;
        }
    }
    const char* type = a.imagetype;
    if (!type) type = sparse_img_probe(fd) == 1 ? "sparse" : "normal";
    // Announced as sparse, a raw image is sent as its sparse encoding; a sparse image as it is.
    sparse_stream* stream = nullptr;
    if (a.imagetype && !strcmp(type, "sparse") && sparse_img_probe(fd) != 1) {
        int r = prepare_sparse_stream(fd, a.filepath, &size, &stream);
        if (r) {
            close(fd);
            return r;
        }
    } else {
        close(fd);
    }

    std::string announce =
        StringPrintf("oem mwrite 0x%llx %s %s %s 0x%llx", size, type, media, a.partname, offset);
    fb_queue_command(announce.c_str(), "");
    if (stream) {
        queue_sparse_stream(stream);
        return a.verify ? queue_verify(a.verify) : 0;
    }

    char mwrite[] = "mwrite";
    char* stream_words[] = {mwrite, const_cast<char*>(a.filepath), nullptr};
    if (do_qrx_mwrite(stream_words, 2)) {
        qrx_log_out("ERR[VXN]", "fail in queue mwrite\n");
        return -612;
    }
    if (!a.verify) return 0;
    return queue_verify(a.verify);
}

int do_qrx_upload(char** words, int count) {
    require_words(672, 7, count);
    PartArgs a;
    if (!parse_part_options(words, count, "P:p:F:f:T:t:M:m:O:o:Z:z:", &a)) {
        qrx_log_out("ERR[VXN]", "invalid option %c\n", '?');
        return -694;
    }
    if (!a.partname) {
        qrx_log_out("ERR[VXN]", "partname is empty\n");
        return -699;
    }
    if (!a.filepath) {
        qrx_log_out("ERR[VXN]", "filePath is emtpy\n");
        return -703;
    }
    const char* media = a.media ? a.media : "store";
    if (!a.filesize) {
        qrx_log_out("ERR[VXN]", "need specify filesize\n");
        return -712;
    }
    const char* type = a.imagetype ? a.imagetype : "normal";
    if (!plain_words(a, media, type)) return -705;
    long long size = parse_num(a.filesize);
    if (size < 0) {
        qrx_log_out("ERR[VXN]", "illegle filesize %s\n", a.filesize);
        return -717;
    }
    long long offset = 0;
    if (a.offset) {
        offset = parse_num(a.offset);
        if (offset < 0) {
            qrx_log_out("ERR[VXN]", "illegle offset %s\n", a.offset);
            return -721;
        }
    }
    std::string announce =
        StringPrintf("oem mread 0x%llx %s %s %s 0x%llx", size, type, media, a.partname, offset);
    fb_queue_command(announce.c_str(), "");
    // Started now, so the elapsed time shown includes the wait until the transfer begins.
    qrx_progress_info_init(size, "Uploading", 0, 100);

    // As "mread" would, with the size asked for, which the read must deliver exactly.
    if (queue_read(a.filepath, true, size)) {
        qrx_log_out("ERR[VXN]", "fail in queue mread\n");
        return -733;
    }
    return 0;
}

int do_qrx_mwrite(char** words, int count) {
    require_words(446, 2, count);
    long long size = count >= 3 ? parse_num(words[2]) : 0;
    long long offset = count >= 4 ? parse_num(words[3]) : 0;
    if (offset < 0 || size < 0) {
        qrx_log_out("ERR[VXN]", "Err offset or datasz\n");
        return -458;
    }
    long long fsz = 0;
    int fd = open_sized_input(words[1], &fsz);
    if (fd == -2) {
        int err = errno;
        qrx_log_out("ERR[VXN]", "Fail in open file %s\n", words[1]);
        log_file_reason(words[1], err);
        return -464;
    }
    if (fd < 0) {
        int err = errno;
        qrx_log_out("ERR[VXN]", "Fail in get sz of file(%s)\n", words[1]);
        log_file_reason(words[1], err);
        return -469;
    }
    // Both numbers come from the command line: compared without adding, so nothing can overflow.
    if (offset > fsz || size > fsz - offset) {
        qrx_log_out("ERR[VXN]", "err offset (0x%llx) + dataSz(0x%llx) > fsz 0x%llx\n", offset, size,
                    fsz);
        close(fd);
        return -474;
    }
    if (size == 0) size = fsz - offset;
    if (lseek(fd, (off_t)offset, SEEK_SET) != (off_t)offset) {
        qrx_log_out("ERR[VXN]", "Fail in seek to fileOffset 0x%llx\n", offset);
        close(fd);
        return -479;
    }
    fb_queue_mwrite(fd_to_slot(fd), size, "mwrite:verify=addsum");
    return 0;
}

int do_qrx_mread(char** words, int count, bool progress) {
    require_words(647, 2, count);
    return queue_read(words[1], progress, -1);
}
