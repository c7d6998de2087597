// Command handlers of the front end: each checks its words and files and queues actions.
#pragma once
#include <cstddef>
#include <vector>

class OwnedFd;

// What a handler returns after require_words refused its words; the run ends with status 1.
constexpr int kTooFewWords = -1000000;
// Too few words for a command: the usage text and the "L%d:require at least ..." line, then false
// (the handler returns kTooFewWords); true when there are enough.
bool require_words(int site, int need, int count);

// The optional "<size> <offset>" words after a file path (words 2 and 3) of "download",
// "setkey" and "mwrite", through parse_num: 0 when a word is absent, -1 when it is invalid.
void parse_size_offset(char** words, int count, long long* size, long long* offset);

// Opens an input sent by size and position (open_sized_input) into *fd. 0, or, with the failure
// and its reason logged, `open_code` when the file cannot be opened and `size_code` when it has
// no size to send by.
int open_handler_input(const char* path, long long* size, int open_code, int size_code, OwnedFd* fd);

int do_qrx_download(int count, char** words);
int do_qrx_bl1boot(const char* path);
int do_qrx_bl2boot(const char* path);
int do_oem_command(int count, char** words);
void* load_bootable_image(const char* path, const char*, const char*, long long* size, const char*);
void* load_file(const char* path, long long* size);
void* load_fd(int fd, long long* size);
long long get_file_size(int fd);

int do_qrx_partition(char** words, int count);
int do_qrx_upload(char** words, int count);
int do_qrx_mwrite(char** words, int count);
int do_qrx_mread(char** words, int count, bool progress);

// A word of a command line that names a file: which word, where in it the path starts (after
// "-f" or "--filepath=" written in one word), and whether the file is sent to the board.
struct CommandFileWord {
    int index;
    size_t offset;
    bool sent;
};
// The files of a command line (words from the command word on), as its handler reads them.
std::vector<CommandFileWord> command_file_words(char** words, int count);
// Those of "partition" and "upload", found through their own option table.
void part_file_words(char** words, int count, bool upload, std::vector<CommandFileWord>* out);
