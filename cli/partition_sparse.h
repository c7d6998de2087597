// The sparse stream of a raw image for "partition -t sparse".
#pragma once

struct sparse_stream;

// Indexes the open raw image of *size bytes (one pass) and logs what its sparse encoding saves.
// 0 with the new stream and its size in *size; the stream refers to fd, which stays open for the
// write. Or a handler code with a logged line: -597 for a size that no sparse image can end at,
// -598 when the file cannot be read.
int prepare_sparse_stream(int fd, const char* path, long long* size, sparse_stream** out);
// Queues the media write of the stream, which passes to the queue with its descriptor.
void queue_sparse_stream(sparse_stream* stream);
