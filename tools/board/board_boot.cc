#include "tools/board/board_boot.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "util/byte_order.h"
#include "tools/board/board_numbers.h"

namespace board {

namespace {

constexpr int kBl1 = 0;
constexpr int kBl2 = 8;
constexpr uint32_t kLargestDownload = 0x2000;
constexpr uint8_t kNoChecksum = 0x01;
constexpr uint8_t kBulkIn = 0x80;
constexpr uint8_t kTypeData = 0;
constexpr uint8_t kTypeEnd = 1;
constexpr uint8_t kTypeNotReady = 0xFF;
// Command blocks travel padded to a fixed record, as a boot ROM would lay them out.
constexpr size_t kCommandBlockBytes = 32;

// gnu_printf: the C runtime of a Windows build formats %zu as GNU does, though its own printf
// checking would not know it.
std::string format(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return buf;
}

// The size of a "download:%08x" command; 0, after a FAIL reply, for one the board does not take.
uint32_t download_size(Board& board, const std::string& command) {
    uint64_t size = 0;
    if (read_hex_digits(command.substr(9), 8, &size) && size != 0) return (uint32_t)size;
    board.reply("FAIL", "bad size");
    return 0;
}

}  // namespace

std::vector<BootRequest> boot_default_plan(uint32_t file_size, uint32_t portion, uint32_t seed) {
    if (portion == 0) portion = file_size ? file_size : 1;
    std::vector<BootRequest> plan;
    for (uint64_t off = 0; off < file_size; off += portion) {
        BootRequest r;
        r.offset = (uint32_t)off;
        r.size = (uint32_t)(file_size - off < portion ? file_size - off : portion);
        plan.push_back(r);
    }
    // The stage decides the order; a fixed shuffle keeps runs repeatable.
    shuffle_plan(&plan, seed * 2654435761u + 12345);
    BootRequest end;
    end.type = kTypeEnd;
    plan.push_back(end);
    return plan;
}

BootStages::BootStages(BootConfig cfg) : config(std::move(cfg)) {}

int BootStages::stage(const Board& board) const {
    return board.config.identify.size() > 3 ? (int8_t)board.config.identify[3] : kBl1;
}

void BootStages::set_stage(Board& board, int s) {
    if (board.config.identify.size() < 8) board.config.identify.resize(8, 0);
    board.config.identify[3] = (uint8_t)s;
}

void BootStages::restart(Board& board, int s, bool reenumerate) {
    set_stage(board, s);
    restarts++;
    active_ = false;
    plan_started_ = false;
    if (!reenumerate) return;
    if (config.empty_serial_after_restart) board.config.serial.clear();
    if (!config.serial_after_restart.empty()) board.config.serial = config.serial_after_restart;
    // The reply that started the restart still reaches the host; then the board goes, and the
    // USB side brings it back (with a new address) only when asked to.
    board.vanish_when_drained();
    board.reenumerate_requested = config.comes_back;
}

uint32_t BootStages::first_stage_size() const {
    if (config.soc == 0x39) return 0x63800;
    uint64_t n = 0;
    return read_number(config.download_size, &n) && n > 0 && n <= 0xFFFFFFFFull ? (uint32_t)n : 0;
}

bool BootStages::save_state(const std::string& folder, std::string* error) const {
    std::string text;
    text += format("first_stage=%zu\n", first_stage.size());
    text += format("served=%zu\n", served.size());
    uint64_t bytes = 0;
    for (const auto& s : served) bytes += s.second;
    text += format("served_bytes=%llu\n", (unsigned long long)bytes);
    text += format("downloads=%zu\n", download_sizes.size());
    text += format("checksums_accepted=%d\n", checksums_accepted);
    text += format("checksums_refused=%d\n", checksums_refused);
    text += format("checksums_wrong=%d\n", checksums_wrong);
    text += format("restarts=%d\n", restarts);
    text += format("stages_finished=%d\n", stages_finished);
    for (const std::string& p : problems) text += "problem=" + p + "\n";
    const std::string path = folder + "/boot.txt";
    FILE* f = fopen(path.c_str(), "wb");
    bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f && fclose(f) != 0) ok = false;
    if (!ok) *error = "cannot write " + path;
    return ok;
}

bool BootStages::on_command(Board& board, const std::string& command) {
    if (command == "getvar:getchipinfo-1") {
        Bytes info(40, 0);
        put_le32(&info[4], config.soc);
        put_le32(&info[36], config.feature_word);
        info.resize(config.chip_info_size, 0);
        board.reply_bytes("OKAY", info);
        return true;
    }
    if (command == "getvar:identify" && fail_identify_) {
        fail_identify_ = false;
        board.reply("FAIL", "not ready");
        return true;
    }
    if (config.reboot_stage >= 0 && (command == "reboot" || starts_with(command, "reboot-"))) {
        board.reboots.push_back(command);
        board.reply("OKAY");
        restart(board, config.reboot_stage, true);
        return true;
    }
    const int s = stage(board);
    if (s == kBl1) return bl1_command(board, command);
    if (s == kBl2 || s == config.bl2e_stage || s == 12) return bl2_command(board, command);
    return false;
}

// ---- BL1 ----

bool BootStages::bl1_command(Board& board, const std::string& command) {
    if (command == "getvar:downloadsize") {
        board.reply("OKAY", config.download_size);
        return true;
    }
    if (starts_with(command, "download:")) {
        const uint32_t size = download_size(board, command);
        if (!size) return true;
        if (size > first_stage_size()) {
            problems.push_back(format("first stage of 0x%x bytes, the ROM takes 0x%x", size,
                                      first_stage_size()));
            board.reply("FAIL", "too large");
            return true;
        }
        download_sizes.push_back(size);
        first_stage.clear();
        board.reply("DATA", board.number(size));
        board.expect_data(
            size,
            [this](const uint8_t* p, size_t n) { first_stage.insert(first_stage.end(), p, p + n); },
            [this, &board] {
                if (first_stage.size() > config.file.size() ||
                    memcmp(first_stage.data(), config.file.data(), first_stage.size()) != 0)
                    problems.push_back("first stage differs from the start of the file");
                board.reply("OKAY");
            });
        return true;
    }
    if (command == "boot") {
        if (first_stage.empty()) {
            board.reply("FAIL", "nothing to boot");
            return true;
        }
        if (first_stage.size() != first_stage_size())
            problems.push_back(format("booted a first stage of 0x%zx bytes, expected 0x%x",
                                      first_stage.size(), first_stage_size()));
        board.reply("OKAY");
        restart(board, kBl2, true);
        return true;
    }
    return false;
}

// ---- BL2 / BL2E ----

bool BootStages::bl2_command(Board& board, const std::string& command) {
    if (command == "getvar:cbw") {
        send_command_block(board);
        return true;
    }
    if (starts_with(command, "download:")) {
        const uint32_t size = download_size(board, command);
        if (size) take_download(board, size);
        return true;
    }
    if (command == "setvar:checksum") {
        take_checksum(board);
        return true;
    }
    return false;
}

void BootStages::start_plan(Board& board) {
    const int s = stage(board);
    plan_ = s == kBl2 ? config.bl2_plan : config.bl2e_plan;
    if (plan_.empty()) plan_ = boot_default_plan((uint32_t)config.file.size(), config.portion, s);
    next_ = 0;
    sequence_ = 1;
    plan_started_ = true;
}

void BootStages::finish_request() {
    if (bytes_ok_) served.push_back({request_.offset, request_.size});
    active_ = false;
}

void BootStages::restart_request() {
    received_.clear();
    bytes_ok_ = true;
}

void BootStages::send_command_block(Board& board) {
    if (active_) {
        if ((request_.flags & kNoChecksum) && received_.size() == request_.size)
            finish_request();
        else
            problems.push_back(format("command block asked for before request %d was complete",
                                      sequence_ - 1));
        active_ = false;
    }
    if (!plan_started_) start_plan(board);
    BootRequest req;
    req.type = kTypeEnd;
    if (next_ < plan_.size()) req = plan_[next_++];

    Bytes block(kCommandBlockBytes, 0);
    memcpy(block.data(), req.signature.data(), req.signature.size() < 4 ? req.signature.size() : 4);
    put_le32(&block[4], (uint32_t)sequence_++);
    put_le32(&block[8], req.size);
    put_le32(&block[12], req.offset);
    block[16] = req.flags;
    block[17] = req.type;
    board.reply_bytes("OKAY", block);

    if (req.type == kTypeData && !(req.flags & kBulkIn)) {
        active_ = true;
        request_ = req;
        restart_request();
    } else if (req.type == kTypeEnd) {
        stages_finished++;
        const Bytes& id = board.config.identify;
        if (stage(board) == kBl2 && (int8_t)id[0] >= 6)
            restart(board, config.bl2e_stage, (int8_t)id[1] > 0);
        else
            plan_started_ = false;
    } else if (req.type == kTypeNotReady) {
        if (config.stage_after_not_ready >= 0) set_stage(board, config.stage_after_not_ready);
        if (config.fail_identify_after_not_ready) fail_identify_ = true;
    }
}

void BootStages::take_download(Board& board, uint32_t size) {
    if (!active_) {
        problems.push_back(format("download of 0x%x bytes without a data request", size));
        board.reply("FAIL", "no request");
        return;
    }
    if (size > kLargestDownload)
        problems.push_back(format("download of 0x%x bytes, more than 8 KiB", size));
    if (received_.size() + size > request_.size) {
        problems.push_back(format("0x%zx bytes sent for a request of 0x%x",
                                  received_.size() + size, request_.size));
        board.reply("FAIL", "too much data");
        return;
    }
    download_sizes.push_back(size);
    board.reply("DATA", board.number(size));
    board.expect_data(
        size,
        [this](const uint8_t* p, size_t n) {
            for (size_t i = 0; i < n; i++) {
                uint64_t pos = (uint64_t)request_.offset + received_.size();
                if (bytes_ok_ && (pos >= config.file.size() || config.file[pos] != p[i])) {
                    bytes_ok_ = false;
                    problems.push_back(format("byte at file offset 0x%llx differs",
                                              (unsigned long long)pos));
                }
                received_.push_back(p[i]);
            }
        },
        [this, &board] {
            board.reply("OKAY");
            if ((request_.flags & kNoChecksum) && received_.size() == request_.size)
                finish_request();
        });
}

void BootStages::take_checksum(Board& board) {
    auto value = std::make_shared<Bytes>();
    board.reply("DATA", board.number(4));
    board.expect_data(
        4, [value](const uint8_t* p, size_t n) { value->insert(value->end(), p, p + n); },
        [this, &board, value] {
            if (!active_ || (request_.flags & kNoChecksum)) {
                problems.push_back("checksum without a request that wants one");
                board.reply("FAIL", "no request");
                return;
            }
            if (received_.size() != request_.size) {
                problems.push_back(format("checksum after 0x%zx of 0x%x bytes", received_.size(),
                                          request_.size));
                restart_request();
                board.reply("FAIL", "incomplete");
                return;
            }
            const uint32_t got = get_le32(value->data());
            const uint32_t want = word_sum(0, 0, received_.data(), received_.size());
            if (got != want) {
                checksums_wrong++;
                problems.push_back(format("checksum 0x%x, the data sums to 0x%x", got, want));
                restart_request();
                board.reply("FAIL", "checksum mismatch");
                return;
            }
            if (config.refuse_checksums > 0) {
                config.refuse_checksums--;
                checksums_refused++;
                restart_request();
                board.reply("FAIL", "checksum refused");
                return;
            }
            checksums_accepted++;
            finish_request();
            board.reply("OKAY");
        });
}

}  // namespace board
