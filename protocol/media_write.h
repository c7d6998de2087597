// Device-directed media write: streams part of an open image under the board's data requests.
#pragma once
#include "usb/transport.h"

// fd is positioned at the first byte that may be sent; size bytes from there may be requested.
int fb_mwrite_data(Transport* transport, int fd, long long size, const char* command);

struct sparse_stream;
// The same for the sparse encoding of a raw image (sparse/sparse_stream.h): the board asks for
// portions of the encoded stream, which are made up from the stream's index as they are served.
int fb_mwrite_sparse(Transport* transport, const sparse_stream* stream, const char* command);
