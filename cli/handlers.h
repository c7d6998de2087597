// Command handlers of the front end: each checks its words and files and queues actions.
#pragma once

// Too few words for a command: the usage text, the "L%d:require at least ..." line, exit status 1.
void require_words(int site, int need, int count);

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
