// The commands of the image tool. Each returns the process exit status: 0 success, 1 failure.
#pragma once
#include <string>

int vsimg_info(const std::string& image);
int vsimg_tosparse(const std::string& raw, const std::string& sparse, unsigned block_size,
                   bool crc);
int vsimg_toraw(const std::string& sparse, const std::string& raw, bool crc);
int vsimg_resparse(const std::string& sparse, unsigned long long max_len,
                   const std::string& prefix);

// False (with a "truncated image" error) when the sparse image on fd is cut off inside its
// last payload; true otherwise, also for files that are no sparse image.
bool vsimg_check_complete(int fd, const std::string& path);

struct sparse_file;
// Imports the sparse image on fd (reporting what is wrong), checked to be whole and to hold only
// chunks of known types; none (with a message) otherwise.
sparse_file* vsimg_import(int fd, const std::string& path, bool crc);
// Whether the library reported a problem since the last call (a chunk of an unknown type is
// reported without making the import fail). The report hook is installed by main.
bool vsimg_take_report();
void vsimg_report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// "vsimg: error: " + message + "\n" on standard error; returns 1.
int vsimg_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
