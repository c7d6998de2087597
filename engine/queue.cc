#include "engine/action.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "protocol/bootloader.h"
#include "protocol/exchange.h"
#include "protocol/media_read.h"
#include "protocol/media_write.h"
#include "protocol/sparse_download.h"
#include "sparse/sparse_stream.h"
#include "util/log.h"
#include "util/staged_output.h"
#include "util/string_printf.h"

using veltrop::base::StringPrintf;

Action* action_list = nullptr;
Action* action_last = nullptr;

namespace {

// The one response buffer of the executor: 128 reply bytes and a terminator.
char response_buf[129];
// Objects handed to the queue and how each is released; they live as long as it does.
struct Owned {
    void* p;
    void (*release)(void*);
};
std::vector<Owned> owned;

}  // namespace

void* fb_queue_own(void* p) { return fb_queue_own_with(p, free); }

void* fb_queue_own_with(void* p, void (*release)(void*)) {
    if (p) owned.push_back({p, release});
    return p;
}

// An action that never ran still holds what it was given: its file, or its output's temporary
// file, which must not be left behind when the queue is emptied for the next command.
static void release_unrun(Action* a) {
    if (a->started_at >= 0) return;
    if (a->op == OpMediaWrite || a->op == OpBl1Boot || a->op == OpBl2Boot) close(slot_to_fd(a->data));
    if (a->op == OpMediaRead) staged_output_discard(static_cast<StagedOutput*>(a->data));
}

void fb_queue_reset() {
    for (Action* a = action_list; a;) {
        Action* next = a->next;
        release_unrun(a);
        free(a);
        a = next;
    }
    action_list = action_last = nullptr;
    for (const Owned& o : owned) o.release(o.p);
    owned.clear();
}

Action* queue_action(unsigned op, const char* format, ...) {
    Action* a = static_cast<Action*>(calloc(1, sizeof(Action)));
    if (!a) die("out of memory");
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(a->command_text, sizeof(a->command_text), format, ap);
    va_end(ap);
    if (n > (int)sizeof(a->command_text) - 1) {
        free(a);
        die("Command length (%d) exceeds maximum size (%d)", n, (int)sizeof(Action::command_text));
    }
    if (action_last)
        action_last->next = a;
    else
        action_list = a;
    action_last = a;
    a->op = op;
    a->callback = cb_default;
    a->started_at = -1.0;
    return a;
}

int cb_default(Action* action, int status, const char* response) {
    stderr_end_open_line();
    if (status) {
        fprintf(stderr, "FAILED (%s)\n", response);
    } else {
        double t = now();
        fprintf(stderr, "OKAY [%7.3fs]\n", t - action->started_at);
        action->started_at = t;
    }
    return status;
}

namespace {

// The descriptor passes from the queue to the operation; it is closed right after the transfer,
// whatever its outcome.
int close_after(Action* a, int status) {
    close(slot_to_fd(a->data));
    return status;
}

// The image under a sparse stream is closed like a queued descriptor; the index stays with the
// queue.
int close_after_stream(Action* a, int status) {
    sparse_stream* s = static_cast<sparse_stream*>(a->data);
    close(s->fd);
    s->fd = -1;
    return status;
}

// The output of a read appears only when every byte arrived and reached the disk.
int read_into_output(Action* a, Transport* transport) {
    StagedOutput* out = static_cast<StagedOutput*>(a->data);
    int status = fb_mread_data(transport, out->fd, a->required_product != nullptr, a->data_size64);
    if (status != 0) {
        staged_output_discard(out);
        return status;
    }
    if (staged_output_commit(out) != 0) {
        return fb_fail(-1, StringPrintf("output not saved (%s)", strerror(errno)),
                       "Fail in save file %s\n", out->target);
    }
    return 0;
}

// Carries out one action's operation; returns its status.
int perform(Action* a, Transport*& transport) {
    switch (a->op) {
        case OpDownload:
            return fb_download_data(transport, a->data, a->size);
        case OpCommand:
            fprintf(stderr, "cmd[%s]\n", a->command_text);
            fflush(stderr);
            return fb_command(transport, a->command_text);
        case OpQuery:
            memset(response_buf, 0, sizeof(response_buf));
            return fb_command_response(transport, a->command_text, response_buf);
        case OpNotice:
            fprintf(stderr, "%s\n", static_cast<const char*>(a->data));
            return 0;
        case OpDownloadSparse:
            return fb_download_data_sparse(transport, static_cast<sparse_file*>(a->data));
        case OpWaitForDisconnect:
            transport->WaitForDisconnect();
            return 0;
        case OpMediaWrite:
            return close_after(a, fb_mwrite_data(transport, slot_to_fd(a->data), a->data_size64,
                                                 a->command_text));
        case OpSetVar:
            return fb_qrx_setvar(transport, a->command_text, a->data, a->size);
        case OpMediaRead:
            return read_into_output(a, transport);
        case OpBl2Boot:
            return close_after(a, fb_bl2_boot(transport, slot_to_fd(a->data), a->data_size64));
        case OpSetKey:
            return fb_setKey(transport, a->data, a->size);
        case OpBl1Boot:
            return close_after(a, fb_bl1_boot(transport, slot_to_fd(a->data), a->data_size64));
        case OpMediaWriteSparse:
            return close_after_stream(a, fb_mwrite_sparse(transport, static_cast<sparse_stream*>(a->data),
                                                          a->command_text));
        default:
            die("bogus action");
    }
}

}  // namespace

int fb_execute_queue(Transport*& transport) {
    if (!action_list) return 0;
    double start = -1.0;
    int status = 0;
    for (Action* a = action_list; a; a = a->next) {
        a->started_at = now();
        if (start < 0) start = a->started_at;
        if (a->message) fprintf(stderr, "%s...\n", a->message);
        // Each failure line names the cause of this action, never an older one or none.
        ERROR[0] = '\0';
        int result = perform(a, transport);
        if (a->op == OpNotice || a->op == OpWaitForDisconnect) continue;
        if (result && !ERROR[0]) fb_set_error("failed with code %d", result);
        const char* text = result ? fb_get_error() : (a->op == OpQuery ? response_buf : "");
        status = a->callback(a, result, text);
        if (status) break;
    }
    fprintf(stderr, "finished. total time: %.3fs\n", now() - start);
    return status;
}
