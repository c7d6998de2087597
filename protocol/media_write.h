// Device-directed media write: streams part of an open image under the board's data requests.
#pragma once
#include "usb/transport.h"

struct FileIdentity;
// fd is positioned at the first byte that may be sent; size bytes from there may be requested.
// With an identity, the file is checked against it before each request is served and before the
// board's final OKAY counts: a file that changed ends the write with -262 ("image changed during
// the burn"), as the board then holds neither the old image nor the new one whole.
int fb_mwrite_data(Transport* transport, int fd, long long size, const char* command,
                   const FileIdentity* identity = nullptr);

struct sparse_stream;
// The same for the sparse encoding of a raw image (sparse/sparse_stream.h): the board asks for
// portions of the encoded stream, which are made up from the stream's index as they are served.
int fb_mwrite_sparse(Transport* transport, const sparse_stream* stream, const char* command,
                     const FileIdentity* identity = nullptr);
