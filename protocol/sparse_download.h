// Download of an in-memory sparse image as one "download" data phase in 1024-byte multiples.
#pragma once
#include "usb/transport.h"

struct sparse_file;

int fb_download_data_sparse(Transport* transport, sparse_file* s);
int fb_download_data_sparse_write(void* transport, const void* data, int len);
int fb_download_data_sparse_flush(Transport* transport);
// Drops what is staged: bytes left by a download that failed are not part of the next one.
void fb_download_data_sparse_reset();
