#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/queued_ops.h"
#include "util/byte_order.h"
#include "util/log.h"

namespace {

// Variables whose replies are raw bytes rather than text.
const char* const __qrx_getvar_binary[] = {
    "identify",      "burnsteps",     "secureboot",    "soctype",       "getchipinfo-0",
    "getchipinfo-1", "getchipinfo-2", "getchipinfo-3", "getchipinfo-4", "getchipinfo-5",
};

bool is_binary_var(const char* name) {
    for (const char* v : __qrx_getvar_binary)
        if (strcmp(v, name) == 0) return true;
    return false;
}

const char* stage_tag(uint8_t stage) {
    switch (stage) {
        case 0: return "[BL1]\t";
        case 8: return "[BL2]\t";
        case 12: return "[BL2E]\t";
        case 16: return "[TPL]\t";
        default: return "[undefined]\t";
    }
}

// Bytes are shown as signed values widened to int, as boards' tools have always shown them:
// 0x80 and above print as FFFFFFxx.
unsigned shown_byte(const char* reply, int i) { return (unsigned)(int)(signed char)reply[i]; }

}  // namespace

int cb_display(Action* action, int status, const char* reply) {
    if (status) {
        fprintf(stderr, "%s FAILED (%s)\n", action->command_text, reply);
        return status;
    }
    const char* name = static_cast<const char*>(action->data);
    if (!is_binary_var(name)) {
        fprintf(stderr, "%s: %s\n", name, reply);
        return 0;
    }
    if (strcmp(name, "identify") == 0) {
        fprintf(stderr, "VXN mode %s", stage_tag((uint8_t)reply[3]));
        for (int i = 0; i < 7; i++) fprintf(stderr, "%02X-", shown_byte(reply, i));
        fprintf(stderr, "%02X\n", shown_byte(reply, 7));
        return 0;
    }
    for (int j = 0; j < 4; j++) {
        fprintf(stderr, "%02x:", 16 * j);
        for (int k = 0; k < 4; k++) fprintf(stderr, " %08X", get_le32(reply + 16 * j + 4 * k));
        fprintf(stderr, "\n");
    }
    return 0;
}

int cb_save(Action* action, int status, const char* reply) {
    if (status) {
        fprintf(stderr, "%s FAILED (%s)\n", action->command_text, reply);
        return status;
    }
    strncpy(static_cast<char*>(action->data), reply, action->size);
    return 0;
}

int match(const char* text, const char** values, unsigned count) {
    for (unsigned i = 0; i < count; i++) {
        const char* val = values[i];
        size_t len = strlen(val);
        if (len > 1 && val[len - 1] == '*') {
            if (strncmp(text, val, len - 1) == 0) return 1;
        } else if (strcmp(text, val) == 0) {
            return 1;
        }
    }
    return 0;
}

int cb_check(Action* action, int status, const char* reply, int invert) {
    if (status) {
        fprintf(stderr, "FAILED (%s)\n", reply);
        return status;
    }
    if (action->required_product && strcmp(action->required_product, cur_product) != 0) {
        double t = now();
        fprintf(stderr, "IGNORE, product is %s required only for %s [%7.3fs]\n", cur_product,
                action->required_product, t - action->started_at);
        action->started_at = t;
        return 0;
    }
    const char** values = static_cast<const char**>(action->data);
    int yes = match(reply, values, action->size);
    if (invert) yes = !yes;
    if (yes) {
        double t = now();
        fprintf(stderr, "OKAY [%7.3fs]\n", t - action->started_at);
        action->started_at = t;
        return 0;
    }
    fprintf(stderr, "FAILED\n\n");
    fprintf(stderr, "Device %s is '%s'.\n", action->command_text + 7, reply);
    fprintf(stderr, "Update %s '%s'", invert ? "rejects" : "requires", action->size ? values[0] : "");
    for (unsigned i = 1; i < action->size; i++) fprintf(stderr, " or '%s'", values[i]);
    fprintf(stderr, ".\n\n");
    return -1;
}

int cb_require(Action* action, int status, const char* reply) { return cb_check(action, status, reply, 0); }

int cb_reject(Action* action, int status, const char* reply) { return cb_check(action, status, reply, 1); }

int cb_do_nothing(Action*, int, const char*) {
    fprintf(stderr, "\n");
    return 0;
}
