#include "protocol/bootloader.h"

#include <cstdint>
#include <cstring>
#include <unistd.h>

#include "protocol/exchange.h"
#include "util/add_sum.h"
#include "util/byte_order.h"
#include "util/file_io.h"
#include "util/log.h"
#include "util/numbers.h"
#include "util/owned.h"
#include "util/pause.h"

namespace {

constexpr const char* kMsg = "MSG[VXN]";
constexpr const char* kErr = "ERR[VXN]";

constexpr size_t kReplyBufSize = 512;
constexpr size_t kCbwBufSize = 256;
constexpr uint32_t kBl2Chunk = 0x2000;
constexpr int kPauseMs = 500;
constexpr int kReenumPauseMs = 1500;
constexpr uint32_t kSocFixedSize = 0x39;
constexpr uint32_t kFixedFirstStageSize = 0x63800;
constexpr long long kMaxFirstStageSize = 0xC0000;

constexpr int kStageBl1 = 0;
constexpr int kStageBl2 = 8;
constexpr int kStageBl2e = 12;

fb_reopen_fn g_reopen = nullptr;

// The exchange copies an OKAY payload without a terminator, so a buffer reused across requests
// would show a short text followed by the tail of the previous reply: clear it every time.
int request(Transport* transport, const char* command, char* reply, size_t reply_size) {
    memset(reply, 0, reply_size);
    return _command_send_no_data(transport, command, reply);
}

void log_mode(const char* prefix, const char* format, const char* identify) {
    qrx_log_out(prefix, format, (signed char)identify[0], (signed char)identify[1],
                (signed char)identify[2], (signed char)identify[3]);
}

int request_identify(Transport* transport, char* reply) {
    int ret = request(transport, "getvar:identify", reply, kReplyBufSize);
    if (ret == 0) log_mode(kMsg, "device mode:%02d-%02d-%02d-%02d\n", reply);
    return ret;
}

// ---- BL1 ----

// The first-stage size the ROM takes, or a result code.
int first_stage_size(Transport* transport, uint32_t soc, char* reply, uint32_t* out) {
    if (soc == kSocFixedSize) {
        *out = kFixedFirstStageSize;
        qrx_log_out(kMsg, "p1 bl2 sz 0x%x\n", *out);
        return 0;
    }
    if (request(transport, "getvar:downloadsize", reply, kReplyBufSize) != 0) {
        qrx_log_out(kErr, "Fail in get download size\n");
        return -748;
    }
    long long sz = parse_num(reply, nullptr);
    qrx_log_out(kMsg, "download sz is %s\n", reply);
    // Judged on the whole number: a text above 4 GiB must not shrink into range by truncation.
    if (sz <= 0 || sz > kMaxFirstStageSize) {
        return fb_refuse(-754, "downloadsize(0x%x) exceed range (0,0xc0000)\n", (unsigned)sz);
    }
    *out = (uint32_t)sz;
    return 0;
}

// ---- BL2 / BL2E ----

// One command block as the board sends it.
struct Cbw {
    int32_t sequence;
    uint32_t transferSize;
    uint32_t fileOffset;
    uint8_t flags;
    uint8_t requestType;
};

constexpr uint8_t kFlagBulkIn = 0x80;
constexpr uint8_t kFlagNoChecksum = 0x01;
constexpr uint8_t kTypeData = 0;
constexpr uint8_t kTypeEnd = 1;
constexpr uint8_t kTypeNotReady = 0xFF;

struct Bl2Job {
    int fd = -1;
    long long file_size = 0;
    PageBuffer data{kBl2Chunk};
    int tries = 1;
    char reply[kReplyBufSize];
};

enum class Step { Next, End, Fail, Abort };

// Sends one data request in 8 KiB downloads, once per try until its checksum is accepted.
int serve_data_request(Transport* transport, Bl2Job& job, const Cbw& cbw) {
    const bool want_sum = !(cbw.flags & kFlagNoChecksum);
    for (int attempt = 1; attempt <= job.tries; ++attempt) {
        off_t pos = lseek(job.fd, (off_t)cbw.fileOffset, SEEK_SET);
        if (pos < 0 || (uint64_t)pos != cbw.fileOffset) {
            return fb_refuse(-651, "Fail in seek to fileOffset 0x%x\n", cbw.fileOffset);
        }
        // In 64 bits: a request that wraps 32 bits lies beyond the file, not at its start.
        if ((long long)cbw.fileOffset + cbw.transferSize > job.file_size) {
            return fb_refuse(-655, "fileOffset + transferSize > filesz: 0x: %x + %x > %llx\n",
                             cbw.fileOffset, cbw.transferSize, job.file_size);
        }
        uint32_t sum = 0;
        uint32_t left = cbw.transferSize;
        while (left > 0) {
            uint32_t chunk = left < kBl2Chunk ? left : kBl2Chunk;
            long long got = read_full(job.fd, job.data.data(), chunk);
            if (got != (long long)chunk) {
                return fb_refuse(-666, "Fail in read img,want %d but %d\n", (int)chunk, (int)got);
            }
            if (fb_download_data(transport, job.data.data(), chunk) != 0) {
                qrx_log_out(kErr, "FAil in download, leftLen 0x%x, totallen 0x%x\n", left,
                            cbw.transferSize);
                return -672;
            }
            if (want_sum) sum += add_sum(job.data.data(), chunk);
            left -= chunk;
        }
        qrx_log_out(kMsg, "OK in download sequence %d, size 0x%x, offset 0x%x\n", cbw.sequence,
                    cbw.transferSize, cbw.fileOffset);
        if (!want_sum) return 0;
        unsigned char value[4];
        put_le32(value, sum);
        if (fb_qrx_setvar(transport, "checksum", value, sizeof(value)) == 0) return 0;
        qrx_log_out(kMsg, "%s in setvar:checksum, origsum 0x%x, trytime %d : %d\n", "FAIL", sum,
                    attempt, job.tries);
    }
    return -1;
}

// Fetches one command block and carries it out; `ret` receives the failure code.
Step serve_command_block(Transport* transport, Bl2Job& job, bool bl2e, int* ret) {
    unsigned char cbw_buf[kCbwBufSize];
    int r = request(transport, "getvar:cbw", (char*)cbw_buf, sizeof(cbw_buf));
    if (r != 0) {
        qrx_log_out(kErr, "Fail get cbw,ret=%d,err[%s]\n", r, fb_get_error());
        *ret = -604;
        return Step::Fail;
    }
    if (memcmp(cbw_buf, "QRXC", 4) != 0) {
        *ret = fb_refuse(-608, "cbw signature not match\n");
        return Step::Fail;
    }
    Cbw cbw;
    cbw.sequence = (int32_t)get_le32(cbw_buf + 4);
    cbw.transferSize = get_le32(cbw_buf + 8);
    cbw.fileOffset = get_le32(cbw_buf + 12);
    cbw.flags = cbw_buf[16];
    cbw.requestType = cbw_buf[17];

    if (cbw.requestType == kTypeNotReady) {
        if (bl2e) {
            qrx_log_out(kMsg, "err cbw requestType for bl2e,only support in bl2\n");
            fb_set_error("the board is not ready in BL2E, where it may not wait");
            *ret = -614;
            return Step::Abort;
        }
        qrx_log_out(kMsg, "bl2boot need wait and continue next loop\n");
        sleep_ms(kPauseMs);
        // A failed identify has no reply to judge the stage by; it fails the stage as it is.
        if (request_identify(transport, job.reply) != 0) {
            *ret = -1;
            return Step::Fail;
        }
        if (job.reply[3] != kStageBl2) {
            *ret = fb_refuse(-622, "illegle stage for bl2 next\n");
            return Step::Fail;
        }
        return Step::Next;
    }
    if (cbw.requestType == kTypeEnd) {
        qrx_log_out(kMsg, "bl2boot tranfer END\n");
        return Step::End;
    }
    if (cbw.requestType >= 0x80) {
        *ret = fb_refuse(-632, "unsupported type %d\n", (signed char)cbw.requestType);
        return Step::Fail;
    }
    if (cbw.requestType != kTypeData) {
        *ret = fb_refuse(-636, "bl2 error code[%d]\n", cbw.requestType);
        return Step::Fail;
    }
    if (cbw.flags & kFlagBulkIn) {
        *ret = fb_refuse(-641, "err, bl2_boot can't support bulkin\n");
        return Step::Fail;
    }
    *ret = serve_data_request(transport, job, cbw);
    return *ret == 0 ? Step::Next : Step::Fail;
}

int feed_stage(Transport* transport, Bl2Job& job, bool bl2e) {
    for (;;) {
        int ret = 0;
        switch (serve_command_block(transport, job, bl2e, &ret)) {
            case Step::Next:
                continue;
            case Step::End:
                return 0;
            case Step::Abort:
                return ret;
            case Step::Fail:
                qrx_log_out(kErr, "Fail in stage %s\n", bl2e ? "BL2E" : "BL2");
                return ret;
        }
    }
}

// The board restarts into BL2E: wait for it, open it again by serial number where it asked for
// that, and make sure it is there. `transport` follows the replacement.
int enter_bl2e(Transport*& transport, const char* serial, Bl2Job& job) {
    sleep_ms(kPauseMs);
    qrx_log_out(kMsg, "Now jump to bl2e\n");
    if (serial) {
        qrx_log_out(kMsg, "need update usb handle for bl2e\n");
        // The reopening closes the old handle; the caller's pointer must never be left on it.
        if (g_reopen) transport = g_reopen(transport, serial);
        if (!g_reopen || !transport) {
            return fb_refuse(1, "fail in update dev handle for bl2e\n");
        }
    }
    // A failed identify keeps the transport's reason as the failure text.
    if (request_identify(transport, job.reply) != 0) {
        qrx_log_out(kErr, "illegle stage for bl2E\n");
        return -595;
    }
    if (job.reply[3] != kStageBl2e) return fb_refuse(-595, "illegle stage for bl2E\n");
    return 0;
}

}  // namespace

void fb_set_reopen(fb_reopen_fn reopen) { g_reopen = reopen; }

int fb_bl1_boot(Transport* transport, int fd, long long size) {
    char reply[kReplyBufSize];
    if (request_identify(transport, reply) != 0) {
        qrx_log_out(kErr, "Fail in get identify\n");
        return -719;
    }
    if ((signed char)reply[0] <= 4 || reply[3] != kStageBl1) {
        return fb_refuse(-725, "illegle device mode:%02d-%02d-%02d-%02d\n", (signed char)reply[0],
                         (signed char)reply[1], (signed char)reply[2], (signed char)reply[3]);
    }
    if (request(transport, "getvar:getchipinfo-1", reply, sizeof(reply)) != 0) {
        qrx_log_out(kErr, "Fail in get chipinfo\n");
        return -731;
    }
    const uint32_t soc = get_le32((const unsigned char*)reply + 4);
    const uint32_t feat = get_le32((const unsigned char*)reply + 36);
    qrx_log_out(kMsg, "soc[%x], feat %x\n", soc, feat);

    uint32_t stage_size = 0;
    int ret = first_stage_size(transport, soc, reply, &stage_size);
    if (ret != 0) return ret;
    if (size < (long long)stage_size) {
        return fb_refuse(-760, "Download sz 0x%x > bl2 file sz 0x%llx\n", stage_size, size);
    }
    PageBuffer buf(stage_size);
    if (!buf.data()) return fb_fail(-766, "out of memory", "Fail in alloc buf for bl2 data\n");
    long long got = read_full(fd, buf.data(), stage_size);
    if (got != (long long)stage_size) {
        return fb_refuse(-772, "Fail in read img,want %d but %d\n", (int)stage_size, (int)got);
    }
    if (fb_download_data(transport, buf.data(), stage_size) != 0) {
        qrx_log_out(kErr, "Fail in download bl2 data\n");
        return -778;
    }
    qrx_log_out(kMsg, "okay download bl2\n");
    ret = fb_command(transport, "boot");
    if (soc == 0x36 || soc == 0x39) {
        qrx_log_out(kMsg, "wait sometime for 0x%x re-enum\n", soc);
        sleep_ms(kReenumPauseMs);
    }
    return ret;
}

int fb_bl2_boot(Transport*& transport, int fd, long long size) {
    Bl2Job job;
    if (request_identify(transport, job.reply) != 0) {
        qrx_log_out(kErr, "Fail in get identify\n");
        return -539;
    }
    const int protocol = (signed char)job.reply[0];
    const int stage = (signed char)job.reply[3];
    if (stage != kStageBl2) {
        return fb_refuse(-547, "illegle fw mode %d for bl2_boot\n", stage);
    }
    if (protocol <= 4) {
        return fb_refuse(-551, "illegle protocol %d\n", protocol);
    }
    const int stages = protocol > 5 ? 2 : 1;
    job.fd = fd;
    job.file_size = size;
    job.tries = protocol > 5 ? 3 : 1;
    if (!job.data.data()) return fb_fail(-559, "out of memory", "Fail in alloc buf\n");

    char serial[kReplyBufSize] = "";
    const bool reopen_by_serial = (signed char)job.reply[1] > 0;
    if (reopen_by_serial) {
        if (request(transport, "getvar:serialno", job.reply, sizeof(job.reply)) != 0) {
            qrx_log_out(kErr, "Fail in update serialno\n");
            return -569;
        }
        memcpy(serial, job.reply, sizeof(serial) - 1);
        qrx_log_out(kMsg, "bl2 serail:%s\n", serial);
    }

    int ret = 0;
    for (int s = 0; s < stages && ret == 0; ++s) {
        const bool bl2e = s == 1;
        if (bl2e) ret = enter_bl2e(transport, reopen_by_serial ? serial : nullptr, job);
        if (ret == 0) ret = feed_stage(transport, job, bl2e);
    }
    return ret;
}
