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
#include <utility>

#include "cli/handlers.h"
#include "cli/partition_sparse.h"
#include "cli/vorn_main.h"
#include "engine/queued_ops.h"
#include "sparse/sparse.h"
#include "util/file_io.h"
#include "util/log.h"
#include "util/owned.h"
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
    const char* media = "store";
    const char* offset = nullptr;
    const char* filesize = nullptr;
};

// Both letter cases name one option; the last value of an option counts. False after "?".
bool parse_part_options(char** words, int count, const char* shorts, PartArgs* args) {
    // getopt keeps its position in process-wide state; 0 restarts it from scratch (a harness may
    // run several command lines in one process).
    optind = 0;
    // A plan being checked reports the refusal itself, on its own line.
    opterr = log_capturing() ? 0 : 1;
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
    OwnedFd fd(open_host_file(path, O_RDONLY));
    if (fd.get() < 0) {
        int err = errno;
        qrx_log_out("ERR[VXN]", "Fail in open file %s\n", path);
        log_file_reason(path, err);
        return -620;
    }
    char text[12 + kVerifyMax + 1] = "oem verify ";
    const size_t prefix = sizeof("oem verify ") - 1;
    long long got = read_full(fd.get(), text + prefix, kVerifyMax + 1);
    int err = errno;
    long long whole = got > kVerifyMax ? get_file_size(fd.get()) : got;
    fd.reset();
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
    OwnedBlock<StagedOutput> out(static_cast<StagedOutput*>(calloc(1, sizeof(StagedOutput))));
    if (!out) die("out of memory");
    if (staged_output_open(out.get(), path, 0700) != 0) {
        int err = errno;
        qrx_log_out("ERR[VXN]", "Fail in open file %s, errno(%d)\n", path, err);
        log_file_reason(path, err);
        return -655;
    }
    fb_queue_mread(out.release(), progress, expected);
    return 0;
}

bool plain_words(const PartArgs& a, const char* type) {
    return plain_word("partname", a.partname) && plain_word("media", a.media) &&
           (!type || plain_word("imagetype", type));
}

// A handler's codes for options it cannot use: "?" from getopt, no partition, no file.
struct OptionCodes {
    int invalid;
    int no_partname;
    int no_filepath;
};

// The options of "partition" or "upload" with the partition and the file they both need; 0, or
// the handler's code with a logged line.
int read_part_options(char** words, int count, const char* shorts, const OptionCodes& codes,
                      PartArgs* a) {
    if (!parse_part_options(words, count, shorts, a)) {
        qrx_log_out("ERR[VXN]", "invalid option %c\n", '?');
        return codes.invalid;
    }
    if (!a->partname) {
        qrx_log_out("ERR[VXN]", "partname is empty\n");
        return codes.no_partname;
    }
    if (!a->filepath) {
        qrx_log_out("ERR[VXN]", "filePath is emtpy\n");
        return codes.no_filepath;
    }
    return 0;
}

// The "-o" offset into the partition, 0 without one; `code` with a logged line when invalid.
int read_part_offset(const char* text, int code, long long* offset) {
    *offset = text ? parse_num(text) : 0;
    if (*offset >= 0) return 0;
    qrx_log_out("ERR[VXN]", "illegle offset %s\n", text);
    return code;
}

// Queues the media write of the open image after its announcement: as its sparse encoding when
// a raw image is announced as sparse, else as the file's bytes.
int queue_image_write(const PartArgs& a, OwnedFd fd, long long size, long long offset) {
    const char* type = a.imagetype;
    if (!type) type = sparse_img_probe(fd.get()) == 1 ? "sparse" : "normal";
    sparse_stream* stream = nullptr;
    if (a.imagetype && !strcmp(type, "sparse") && sparse_img_probe(fd.get()) != 1) {
        int r = prepare_sparse_stream(fd.get(), a.filepath, &size, &stream);
        if (r) return r;
        // The stream reads the image while it is sent and closes it with the action.
        fd.release();
    } else {
        fd.reset();
    }
    std::string announce =
        StringPrintf("oem mwrite 0x%llx %s %s %s 0x%llx", size, type, a.media, a.partname, offset);
    fb_queue_command(announce.c_str(), "");
    if (stream) {
        queue_sparse_stream(stream);
        return 0;
    }
    char mwrite[] = "mwrite";
    char* stream_words[] = {mwrite, const_cast<char*>(a.filepath), nullptr};
    if (do_qrx_mwrite(stream_words, 2)) {
        qrx_log_out("ERR[VXN]", "fail in queue mwrite\n");
        return -612;
    }
    return 0;
}

}  // namespace

void part_file_words(char** words, int count, bool upload, std::vector<CommandFileWord>* out) {
    // getopt reorders what it is given: it works on a copy, and each value is found again by
    // the word it lies in. The last value of an option counts.
    std::vector<char*> copy(words, words + count);
    copy.push_back(nullptr);
    CommandFileWord found[2] = {{-1, 0, false}, {-1, 0, false}};
    optind = 0;
    opterr = 0;
    const char* shorts = upload ? "P:p:F:f:T:t:M:m:O:o:Z:z:" : "P:p:F:f:V:v:T:t:M:m:O:o:";
    int c;
    while ((c = getopt_long(count, copy.data(), shorts, qrxPartOpts, nullptr)) != -1) {
        int slot = (c == 'f' || c == 'F') ? 0 : (!upload && (c == 'v' || c == 'V')) ? 1 : -1;
        if (slot < 0 || !optarg) continue;
        for (int i = 1; i < count; i++) {
            if (optarg >= words[i] && optarg <= words[i] + strlen(words[i])) {
                found[slot] = {i, (size_t)(optarg - words[i]), !(upload && slot == 0)};
                break;
            }
        }
    }
    opterr = 1;
    for (const CommandFileWord& f : found)
        if (f.index > 0) out->push_back(f);
}

int do_qrx_partition(char** words, int count) {
    if (!require_words(545, 5, count)) return kTooFewWords;
    PartArgs a;
    int r = read_part_options(words, count, "P:p:F:f:V:v:T:t:M:m:O:o:", {-567, -572, -576}, &a);
    if (r) return r;
    if (!plain_words(a, a.imagetype)) return -577;
    long long size = 0;
    OwnedFd fd;
    r = open_handler_input(a.filepath, &size, -586, -591, &fd);
    if (r) return r;
    long long offset = 0;
    r = read_part_offset(a.offset, -595, &offset);
    if (r) return r;
    r = queue_image_write(a, std::move(fd), size, offset);
    if (r) return r;
    return a.verify ? queue_verify(a.verify) : 0;
}

int do_qrx_upload(char** words, int count) {
    if (!require_words(672, 7, count)) return kTooFewWords;
    PartArgs a;
    int r = read_part_options(words, count, "P:p:F:f:T:t:M:m:O:o:Z:z:", {-694, -699, -703}, &a);
    if (r) return r;
    if (!a.filesize) {
        qrx_log_out("ERR[VXN]", "need specify filesize\n");
        return -712;
    }
    const char* type = a.imagetype ? a.imagetype : "normal";
    if (!plain_words(a, type)) return -705;
    long long size = parse_num(a.filesize);
    if (size < 0) {
        qrx_log_out("ERR[VXN]", "illegle filesize %s\n", a.filesize);
        return -717;
    }
    long long offset = 0;
    r = read_part_offset(a.offset, -721, &offset);
    if (r) return r;
    std::string announce =
        StringPrintf("oem mread 0x%llx %s %s %s 0x%llx", size, type, a.media, a.partname, offset);
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
    if (!require_words(446, 2, count)) return kTooFewWords;
    long long size = 0, offset = 0;
    parse_size_offset(words, count, &size, &offset);
    if (offset < 0 || size < 0) {
        qrx_log_out("ERR[VXN]", "Err offset or datasz\n");
        return -458;
    }
    long long fsz = 0;
    OwnedFd fd;
    int r = open_handler_input(words[1], &fsz, -464, -469, &fd);
    if (r) return r;
    // Both numbers come from the command line: compared without adding, so nothing can overflow.
    if (offset > fsz || size > fsz - offset) {
        qrx_log_out("ERR[VXN]", "err offset (0x%llx) + dataSz(0x%llx) > fsz 0x%llx\n", offset, size,
                    fsz);
        return -474;
    }
    if (size == 0) size = fsz - offset;
    if (lseek(fd.get(), (off_t)offset, SEEK_SET) != (off_t)offset) {
        qrx_log_out("ERR[VXN]", "Fail in seek to fileOffset 0x%llx\n", offset);
        return -479;
    }
    fb_queue_mwrite(fd_to_slot(fd.release()), size, "mwrite:verify=addsum");
    return 0;
}

int do_qrx_mread(char** words, int count, bool progress) {
    if (!require_words(647, 2, count)) return kTooFewWords;
    return queue_read(words[1], progress, -1);
}
