#include "engine/queued_ops.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "protocol/exchange.h"
#include "sparse/sparse_stream.h"
#include "util/byte_order.h"
#include "util/log.h"

const char* cur_product = "";

namespace {

// Messages are built at queueing time and live as long as the queue.
const char* own_msg(char* msg) { return static_cast<const char*>(fb_queue_own(msg)); }

// An action that sends `size` bytes of a queued descriptor; `text` is its command text and what
// `label` (a format with one %s) shows of it.
void queue_file_action(ActionOp op, void* fd, long long size, const char* text, const char* label) {
    Action* a = queue_action(op, "%s", text);
    a->data = fd;
    a->data_size64 = size;
    a->message = own_msg(mkmsg(label, text));
}

}  // namespace

void fb_queue_download(const char* name, void* data, unsigned size) {
    Action* a = queue_action(OpDownload, "%s", "");
    a->data = data;
    a->size = size;
    a->message = own_msg(mkmsg("downloading '%s'", name));
}

void fb_queue_command(const char* cmd, const char* msg) {
    Action* a = queue_action(OpCommand, "%s", cmd);
    a->message = msg;
}

void fb_queue_reboot(const char* mode) {
    Action* a = queue_action(OpCommand, "%s%s%s", "reboot", mode ? "-" : "", mode ? mode : "");
    a->message = "rebooting";
    // A board that reboots may drop the link before it answers; that is not a failure.
    a->callback = cb_do_nothing;
}

void fb_queue_wait_for_disconnect() { queue_action(OpWaitForDisconnect, "%s", ""); }

void fb_queue_setvar(const char* name, unsigned value) {
    Action* a = queue_action(OpSetVar, "%s", name);
    unsigned char* le = static_cast<unsigned char*>(fb_queue_own(malloc(4)));
    if (!le) die("out of memory");
    put_le32(le, value);
    a->data = le;
    a->size = 4;
    a->message = own_msg(mkmsg("setvar '%s' 0x%08x", name, value));
}

void fb_queue_setKey(const char* path, void* data, unsigned len) {
    // Keys are always 16 bytes on the wire.
    if (len > 16) log_text("TRIM size from %d to 16\n", (int)len);
    if (len < 16) {
        log_text("FILL size from %d to 16\n", (int)len);
        memset(static_cast<char*>(data) + len, 0, 16 - len);
    }
    Action* a = queue_action(OpSetKey, "%s", "");
    a->data = data;
    a->size = 16;
    a->message = own_msg(mkmsg("SetingKey '%s'", path));
}

void fb_queue_mwrite(void* fd, long long size, const char* cmd) {
    queue_file_action(OpMediaWrite, fd, size, cmd, "media writing [%s]");
}

void fb_queue_mwrite_sparse(sparse_stream* stream, const char* cmd) {
    Action* a = queue_action(OpMediaWriteSparse, "%s", cmd);
    a->data = fb_queue_own_with(stream, [](void* p) {
        sparse_stream* s = static_cast<sparse_stream*>(p);
        if (s->fd >= 0) close(s->fd);
        delete s;
    });
    a->data_size64 = stream->stream_size;
    a->message = own_msg(mkmsg("media writing [%s]", cmd));
}

void fb_queue_mread(StagedOutput* out, bool progress, long long expected) {
    static const char kRequest[] = "mread:status=request";
    Action* a = queue_action(OpMediaRead, "%s", kRequest);
    a->data = fb_queue_own(out);
    a->data_size64 = expected;
    a->required_product = progress ? kRequest : nullptr;
    a->message = own_msg(mkmsg("media reading [%s]", kRequest));
}

void fb_queue_bl2boot(void* fd, long long size, const char* path) {
    queue_file_action(OpBl2Boot, fd, size, path, "bl2_boot[%s]");
}

void fb_queue_bl1boot(void* fd, long long size, const char* path) {
    queue_file_action(OpBl1Boot, fd, size, path, "bl1_boot[%s]");
}

void fb_queue_display(const char* var, const char* name) {
    Action* a = queue_action(OpQuery, "getvar:%s", var);
    a->data = fb_queue_own(strdup(name));
    if (!a->data) die("out of memory");
    a->callback = cb_display;
}

void fb_queue_query_save(const char* var, char* dest, unsigned size) {
    Action* a = queue_action(OpQuery, "getvar:%s", var);
    a->data = dest;
    a->size = size;
    a->callback = cb_save;
}

void fb_queue_require(const char* product, const char* var, bool invert, unsigned count,
                      const char** values) {
    Action* a = queue_action(OpQuery, "getvar:%s", var);
    a->required_product = product;
    a->data = values;
    a->size = count;
    a->callback = invert ? cb_reject : cb_require;
    a->message = own_msg(mkmsg("checking %s", var));
}

void fb_queue_notice(const char* text) {
    Action* a = queue_action(OpNotice, "%s", "");
    a->data = const_cast<char*>(text);
}

void fb_queue_erase(const char* partition) {
    Action* a = queue_action(OpCommand, "erase:%s", partition);
    a->message = own_msg(mkmsg("erasing '%s'", partition));
}

void fb_set_active(const char* slot) {
    Action* a = queue_action(OpCommand, "set_active:%s", slot);
    a->message = own_msg(mkmsg("Setting current slot to '%s'", slot));
}

void fb_queue_flash(const char* partition, void* data, unsigned size) {
    Action* a = queue_action(OpDownload, "%s", "");
    a->data = data;
    a->size = size;
    a->message = own_msg(mkmsg("sending '%s' (%d KB)", partition, (int)(size / 1024)));
    a = queue_action(OpCommand, "flash:%s", partition);
    a->message = own_msg(mkmsg("writing '%s'", partition));
}

void fb_queue_flash_sparse(const char* partition, sparse_file* s, unsigned size, unsigned current,
                           unsigned total) {
    Action* a = queue_action(OpDownloadSparse, "%s", "");
    a->data = s;
    a->size = 0;
    a->message = own_msg(mkmsg("sending sparse '%s' %u/%u (%d KB)", partition, current, total,
                               (int)(size / 1024)));
    a = queue_action(OpCommand, "flash:%s", partition);
    a->message = own_msg(mkmsg("writing '%s' %u/%u", partition, current, total));
}

bool fb_getvar_raw(Transport* transport, const std::string& key, char reply[129]) {
    memset(reply, 0, 129);
    std::string cmd = "getvar:" + key;
    return fb_command_response(transport, cmd.c_str(), reply) == 0;
}

bool fb_getvar(Transport* transport, const std::string& key, std::string* value) {
    char buf[129];
    if (!fb_getvar_raw(transport, key, buf)) return false;
    *value = buf;
    return true;
}
