// The sparse stream of a raw image for "partition -t sparse".
#pragma once

struct sparse_stream;
struct FileIdentity;

// Indexes the open raw image of *size bytes (one pass) and logs what its sparse encoding saves.
// 0 with the new stream and its size in *size; the stream refers to fd, which stays open for the
// write. Or a handler code with a logged line: -597 for a size that no sparse image can end at
// or hold, -598 when the file cannot be read. *identity receives the image's identity from
// before the pass.
int prepare_sparse_stream(int fd, const char* path, long long* size, sparse_stream** out,
                          FileIdentity* identity);
// Queues the media write of the stream, which passes to the queue with its descriptor; the write
// fails if the image no longer has `image` as its identity.
void queue_sparse_stream(sparse_stream* stream, const FileIdentity& image);
