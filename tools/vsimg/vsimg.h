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

// "vsimg: error: " + message + "\n" on standard error; returns 1.
int vsimg_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
