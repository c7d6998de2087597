// vsimg: shows, converts and cuts sparse images.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <getopt.h>

#include "sparse/sparse.h"
#include "tools/vsimg/args.h"
#include "tools/vsimg/vsimg.h"
#include "util/version.h"

static const char usage_text[] =
    "usage: vsimg <command> <arguments>\n"
    "  info <sparse image>\n"
    "      show the header and the chunks of a sparse image, and check it\n"
    "  tosparse [-b <block size>] [-c] <raw image> <sparse image>\n"
    "      turn a raw image into a sparse one (block size default 4096, or the largest power of\n"
    "      two that divides the image's size; -c adds a CRC32 chunk)\n"
    "  toraw [-c] <sparse image> <raw image>\n"
    "      expand a sparse image into a raw one (-c checks its CRC32 chunk)\n"
    "  resparse <sparse image> <max bytes> <output prefix>\n"
    "      cut a sparse image into sparse pieces of at most <max bytes> each, written as\n"
    "      <output prefix>.1, <output prefix>.2, ...\n"
    "Sizes are decimal or 0x hexadecimal, optionally followed by k, m or g.\n"
    "--version shows the version and the source revision.\n";

int vsimg_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "vsimg: error: ");
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, "\n");
    va_end(ap);
    return 1;
}

static bool reported = false;

void vsimg_report(const char* fmt, ...) {
    reported = true;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

bool vsimg_take_report() {
    bool r = reported;
    reported = false;
    return r;
}

static int usage(const char* problem) {
    if (problem) fprintf(stderr, "vsimg: %s\n", problem);
    fputs(usage_text, stderr);
    return 2;
}

// Options of one command; the words left over are the command's arguments.
struct Options {
    unsigned block_size = 0;  // the encoder's choice
    bool crc = false;
};

static bool parse_options(int argc, char** argv, const char* optstring, Options* o) {
    optind = 1;
    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        unsigned long long v;
        switch (c) {
            case 'b':
                if (!parse_size(optarg, 0xFFFFFFFFull, &v) || v == 0 || v % 4 != 0) {
                    vsimg_error("bad block size '%s': a non-zero multiple of 4 is needed",
                                optarg);
                    return false;
                }
                o->block_size = unsigned(v);
                break;
            case 'c':
                o->crc = true;
                break;
            default:
                vsimg_error("unknown option '-%c'", optopt);
                return false;
        }
    }
    return true;
}

int main(int argc, char** argv) {
    sparse_print_verbose = vsimg_report;
    if (argc < 2) return usage(nullptr);
    const char* cmd = argv[1];
    if (!strcmp(cmd, "-h") || !strcmp(cmd, "--help") || !strcmp(cmd, "help")) {
        fputs(usage_text, stdout);
        return 0;
    }
    if (!strcmp(cmd, "--version")) {
        print_version("vsimg", vorn_project_version);
        return 0;
    }
    // The command's words, with the command word in the place of the program name.
    int n = argc - 1;
    char** words = argv + 1;
    Options o;

    if (!strcmp(cmd, "info")) {
        if (!parse_options(n, words, "+", &o)) return 2;
        if (n - optind != 1) return usage("info takes one image");
        return vsimg_info(words[optind]);
    }
    if (!strcmp(cmd, "tosparse")) {
        if (!parse_options(n, words, "+b:c", &o)) return 2;
        if (n - optind != 2) return usage("tosparse takes an input and an output image");
        return vsimg_tosparse(words[optind], words[optind + 1], o.block_size, o.crc);
    }
    if (!strcmp(cmd, "toraw")) {
        if (!parse_options(n, words, "+c", &o)) return 2;
        if (n - optind != 2) return usage("toraw takes an input and an output image");
        return vsimg_toraw(words[optind], words[optind + 1], o.crc);
    }
    if (!strcmp(cmd, "resparse")) {
        if (!parse_options(n, words, "+", &o)) return 2;
        if (n - optind != 3) return usage("resparse takes an image, a size and an output prefix");
        unsigned long long max_len;
        if (!parse_size(words[optind + 1], 0xFFFFFFFFull, &max_len)) {
            vsimg_error("bad size '%s': at most 4g - 1 bytes", words[optind + 1]);
            return 2;
        }
        return vsimg_resparse(words[optind], max_len, words[optind + 2]);
    }
    return usage("unknown command");
}
