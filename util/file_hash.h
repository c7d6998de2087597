// SHA-256 of a whole file, through the system's maintained implementation (libcrypto, or the
// BCrypt provider on Windows): what a burn record names for every file it sent.
#pragma once
#include <string>

// True with the 64 lower-case hexadecimal digits of the file's SHA-256 and its size in bytes;
// false with errno set when the file cannot be read or the digest not made.
bool file_sha256(const char* path, std::string* hex, long long* size);
