#include "protocol/exchange.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "util/log.h"
#include "util/numbers.h"
#include "util/platform.h"

char ERROR[128];

namespace {

// A reply is one transfer of at most 128 bytes; the buffer keeps room for a terminator.
constexpr size_t kReplyMax = 128;
// The largest data phase a board may announce; larger sizes would not fit the signed result.
constexpr unsigned kDataMax = 0x80000000u;
// Zero-length packets skipped in a row before a reply; more are a malformed reply.
constexpr int kEmptyRepliesMax = 3;

// The transport this layer last closed after a fault. A later step on it (a retry, the next part
// of an operation) fails as well, for a reason that is only the closing ("No such device"): the
// first cause stays in ERROR instead.
const Transport* closed_after_fault = nullptr;

void close_after_fault(Transport* transport) {
    transport->Close();
    closed_after_fault = transport;
}

// ERROR for a transfer that failed, unless the exchange itself closed the transport before. A
// stall (EPIPE) is the board refusing the transfer, which the system's "Broken pipe" hides.
void transfer_failed(Transport* transport, const char* what, int err) {
    if (transport == closed_after_fault) return;
    if (err == EPIPE)
        fb_set_error("%s (the board stalled: %s)", what, error_text(err));
    else
        fb_set_error("%s (%s)", what, error_text(err));
}

bool has_code(const char* reply, const char* code) { return memcmp(reply, code, strlen(code)) == 0; }

// Parses the size (and optional ":offset") of a DATA reply whose number starts at `num`.
int data_reply(Transport* transport, const char* num, unsigned bound, long long* offset) {
    char* end = nullptr;
    long long parsed = parse_num(num, &end);
    // A number that does not parse reads as 0xFFFFFFFF: no bound below that accepts it.
    unsigned size = parsed < 0 ? 0xFFFFFFFFu : (unsigned)parsed;
    if (size > bound) {
        fb_set_error("data size too large");
        close_after_fault(transport);
        return -1;
    }
    // 0x80000000 itself does not fit the signed result either.
    if (size >= kDataMax) {
        if (size > kDataMax) qrx_log_out("ERR[VXN]", "dsize %ux > max 2G\n", size);
        fb_set_error("data request of 0x%x bytes, above the 0x7fffffff a transfer may move", size);
        return -127;
    }
    if (offset) *offset = (parsed >= 0 && *end == ':') ? parse_num(end + 1, nullptr) : 0;
    return (int)size;
}

}  // namespace

const char* fb_get_error() { return ERROR; }

namespace {

// The failure line of a stream, and ERROR set to `why` (or to the line itself).
void fail_with(const char* why, const char* line, va_list ap) {
    char text[272];
    vsnprintf(text, sizeof(text), line, ap);
    qrx_log_out("ERR[VXN]", "%s", text);
    fb_set_error("%s", why ? why : text);
}

}  // namespace

void fb_set_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(ERROR, sizeof(ERROR), fmt, ap);
    va_end(ap);
    size_t n = strlen(ERROR);
    if (n && ERROR[n - 1] == '\n') ERROR[n - 1] = 0;
}

int fb_fail(int code, const std::string& why, const char* line, ...) {
    va_list ap;
    va_start(ap, line);
    fail_with(why.c_str(), line, ap);
    va_end(ap);
    return code;
}

int fb_refuse(int code, const char* line, ...) {
    va_list ap;
    va_start(ap, line);
    fail_with(nullptr, line, ap);
    va_end(ap);
    return code;
}

int check_response(Transport* transport, unsigned int bound, char* response, bool* direction,
                   long long* offset) {
    char status[kReplyMax + 1];
    int empty = 0;
    for (;;) {
        ssize_t r = transport->Read(status, kReplyMax);
        if (r < 0) {
            transfer_failed(transport, "status read failed", errno);
            close_after_fault(transport);
            return -1;
        }
        // Some device stacks end a data phase whose size is a multiple of the packet size with a
        // zero-length packet, which then arrives where the reply is expected.
        if (r == 0 && ++empty <= kEmptyRepliesMax) continue;
        status[r] = 0;
        if (r < 4) {
            fb_set_error("status malformed (%d bytes)", (int)r);
            close_after_fault(transport);
            return -1;
        }
        empty = 0;
        if (has_code(status, "INFO")) {
            stderr_end_open_line();
            fprintf(stderr, "(bootloader) %s\n", status + 4);
            fflush(stderr);
            continue;
        }
        if (has_code(status, "OKAY")) {
            if (response) {
                // Binary payloads (identify, chip information) are copied as they are; the
                // terminator behind them lets text callers read the buffer without clearing it.
                memcpy(response, status + 4, r - 4);
                response[r - 4] = 0;
                if (response[0] == ';') fprintf(stderr, "(okay)%s\n", status + 5);
            }
            return 0;
        }
        if (has_code(status, "FAIL")) {
            if (r > 4)
                fb_set_error("remote: %s", status + 4);
            else
                fb_set_error("remote failure");
            return -1;
        }
        if (has_code(status, "DATA") && bound != 0) {
            const char* num = status + 4;
            if (direction) *direction = true;
            // The directed forms need at least one digit after them to be told from plain DATA.
            if (r >= 8) {
                if (has_code(status, "DATAOUT")) {
                    num = status + 7;
                } else if (has_code(status, "DATAIN")) {
                    num = status + 6;
                    if (direction) *direction = false;
                }
            }
            return data_reply(transport, num, bound, offset);
        }
        fb_set_error("unknown status code");
        close_after_fault(transport);
        return -1;
    }
}

int _command_write(Transport* transport, const char* command) {
    size_t len = strlen(command);
    if (len > kReplyMax) {
        fb_set_error("command too large");
        return -1;
    }
    if (transport->Write(command, len) != (ssize_t)len) {
        transfer_failed(transport, "command write failed", errno);
        close_after_fault(transport);
        return -1;
    }
    // It took the command: whatever closed before at this address, this transport is alive.
    if (transport == closed_after_fault) closed_after_fault = nullptr;
    return 0;
}

int _command_start(Transport* transport, const char* command, unsigned int bound, char* response,
                   bool* direction, long long* offset) {
    if (response) response[0] = 0;
    if (_command_write(transport, command) < 0) return -1;
    return check_response(transport, bound, response, direction, offset);
}

int _command_request(Transport* transport, const char* command, unsigned int bound, char* response,
                     bool* direction, long long* offset) {
    // Only a DATA reply fills the offset, which tells a request of 0 bytes from "OKAY".
    *offset = LLONG_MIN;
    int r = _command_start(transport, command, bound, response, direction, offset);
    if (r == 0 && *offset != LLONG_MIN) {
        fb_set_error("data request of 0 bytes");
        close_after_fault(transport);
        return -1;
    }
    return r;
}

int _command_data(Transport* transport, const void* data, unsigned int size, bool* direction) {
    ssize_t r;
    if (!direction || *direction)
        r = transport->Write(data, size);
    else
        r = transport->Read(const_cast<void*>(data), size);
    if (r < 0) {
        transfer_failed(transport, "data transfer failure", errno);
        close_after_fault(transport);
        return -1;
    }
    if (r != (ssize_t)size) {
        fb_set_error("data transfer failure (short transfer), want %d but %d", (int)size, (int)r);
        close_after_fault(transport);
        return -1;
    }
    return (int)size;
}

int _command_end(Transport* transport) {
    char response[kReplyMax + 1] = {0};
    return check_response(transport, 0, response, nullptr, nullptr) < 0 ? -1 : 0;
}

int _command_send(Transport* transport, const char* command, const void* data, unsigned int size,
                  char* response) {
    if (size == 0) return -1;
    bool direction = true;
    if (_command_start(transport, command, size, response, &direction, nullptr) < 0) return -1;
    if (_command_data(transport, data, size, &direction) < 0) return -1;
    if (_command_end(transport) < 0) return -1;
    return (int)size;
}

int _command_send_no_data(Transport* transport, const char* command, char* response) {
    return _command_start(transport, command, 0, response, nullptr, nullptr);
}

int fb_command(Transport* transport, const char* command) {
    char response[kReplyMax + 1] = {0};
    int r = _command_send_no_data(transport, command, response);
    fprintf(stderr, "response:%s\n", response);
    return r;
}

int fb_command_response(Transport* transport, const char* command, char* response) {
    return _command_send_no_data(transport, command, response);
}

namespace {

// The data commands are formatted in a buffer that a long variable name cannot overrun; `n` is
// the length the text needed, and a command longer than the protocol allows is refused before
// anything is sent.
int send_data_command(Transport* transport, const char* cmd, int n, const void* data, unsigned size) {
    if (n < 0 || n > (int)kReplyMax) {
        fb_set_error("command too large");
        return -1;
    }
    return _command_send(transport, cmd, data, size, nullptr) < 0 ? -1 : 0;
}

}  // namespace

int fb_download_data(Transport* transport, const void* data, unsigned int size) {
    char cmd[kReplyMax + 2];
    int n = snprintf(cmd, sizeof(cmd), "download:%08x", size);
    return send_data_command(transport, cmd, n, data, size);
}

int fb_setKey(Transport* transport, const void* data, unsigned int size) {
    char cmd[kReplyMax + 2];
    int n = snprintf(cmd, sizeof(cmd), "setkey:%08x", size);
    return send_data_command(transport, cmd, n, data, size);
}

int fb_qrx_setvar(Transport* transport, const char* name, const void* data, unsigned int size) {
    char cmd[kReplyMax + 2];
    int n = snprintf(cmd, sizeof(cmd), "setvar:%s", name);
    return send_data_command(transport, cmd, n, data, size);
}
