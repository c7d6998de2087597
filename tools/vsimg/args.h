// Number words of the image tool's command line.
#pragma once

// A size: decimal, 0x hexadecimal, optionally followed by k, m or g (binary units). False for
// anything else, and for a value above `max`.
bool parse_size(const char* text, unsigned long long max, unsigned long long* value);
