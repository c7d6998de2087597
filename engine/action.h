// The process-wide action queue: handlers append actions, main runs them once in order.
#pragma once
#include <cstdint>
#include "usb/transport.h"

enum ActionOp : uint32_t {
    OpDownload = 1,
    OpCommand = 2,
    OpQuery = 3,
    OpNotice = 4,
    OpDownloadSparse = 5,
    OpWaitForDisconnect = 6,
    OpMediaWrite = 7,
    OpSetVar = 8,
    OpMediaRead = 9,
    OpBl2Boot = 10,
    OpSetKey = 11,
    OpBl1Boot = 12,
    // A media write of the sparse encoding of a raw image, made up as it is served.
    OpMediaWriteSparse = 13,
};

struct Action {
    uint32_t op;
    Action* next;
    char command_text[128];
    // Product of a requirement check; OpMediaRead uses it as its progress flag (non-null: on).
    const char* required_product;
    // Payload: a buffer, a sparse_file, a text, or a file descriptor stored in the slot.
    void* data;
    uint32_t size;
    const char* message;
    int (*callback)(Action* action, int status, const char* response);
    double started_at;
    long long data_size64;
    // OpMediaWrite and OpMediaWriteSparse: the image as it was when its size was taken, checked
    // again while it is sent and before the board's last OKAY counts (none: not checked).
    const struct FileIdentity* image_identity;
};

extern Action* action_list;
extern Action* action_last;

// Appends a zero-filled action whose command text is formatted (at most 127 characters, else fatal).
Action* queue_action(unsigned op, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Runs the queue once. An OpBl2Boot action may replace the transport; the caller's pointer follows.
int fb_execute_queue(Transport*& transport);
int cb_default(Action* action, int status, const char* response);

// Releases the queue and what it owns, for harnesses that run several command lines in one process.
void fb_queue_reset();
// Hands a heap block (malloc) to the queue; it is released with the queue. Returns p.
void* fb_queue_own(void* p);
// The same for an object that `release` frees.
void* fb_queue_own_with(void* p, void (*release)(void*));

// A file descriptor kept in the data slot.
inline void* fd_to_slot(int fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }
inline int slot_to_fd(void* slot) { return static_cast<int>(reinterpret_cast<intptr_t>(slot)); }
