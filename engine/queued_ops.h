// The queueing operations and completion callbacks of the action queue.
#pragma once
#include <string>
#include "engine/action.h"

struct sparse_file;
struct StagedOutput;

extern const char* cur_product;

void fb_queue_download(const char* name, void* data, unsigned size);
void fb_queue_command(const char* cmd, const char* msg);
void fb_queue_reboot(const char* mode);
void fb_queue_wait_for_disconnect();
void fb_queue_setvar(const char* name, unsigned value);
// The buffer must hold at least 16 bytes: a shorter key is filled with zeros.
void fb_queue_setKey(const char* path, void* data, unsigned len);
void fb_queue_mwrite(void* fd, long long size, const char* cmd);
struct sparse_stream;
// The stream (new, its image open) passes to the queue, which closes the image after the write
// and deletes the stream with the queue.
void fb_queue_mwrite_sparse(sparse_stream* stream, const char* cmd);
// The output passes to the queue; it is put in place only when the whole read succeeded.
// `expected` is the byte count asked of the board (-1: whatever it sends).
void fb_queue_mread(StagedOutput* out, bool progress, long long expected);
void fb_queue_bl2boot(void* fd, long long size, const char* path);
void fb_queue_bl1boot(void* fd, long long size, const char* path);
void fb_queue_display(const char* var, const char* name);
void fb_queue_query_save(const char* var, char* dest, unsigned size);
void fb_queue_require(const char* product, const char* var, bool invert, unsigned count,
                      const char** values);
void fb_queue_notice(const char* text);
void fb_queue_erase(const char* partition);
void fb_set_active(const char* slot);
void fb_queue_flash(const char* partition, void* data, unsigned size);
void fb_queue_flash_sparse(const char* partition, sparse_file* s, unsigned size, unsigned current,
                           unsigned total);

int cb_display(Action* action, int status, const char* reply);
int cb_save(Action* action, int status, const char* reply);
int cb_check(Action* action, int status, const char* reply, int invert);
int cb_require(Action* action, int status, const char* reply);
int cb_reject(Action* action, int status, const char* reply);
int cb_do_nothing(Action* action, int status, const char* reply);
int match(const char* text, const char** values, unsigned count);

// Synchronous query outside the queue.
bool fb_getvar(Transport* transport, const std::string& key, std::string* value);
// The same with the reply's raw bytes (binary variables such as identify), zero-filled after it.
bool fb_getvar_raw(Transport* transport, const std::string& key, char reply[129]);
