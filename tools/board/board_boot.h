// The boot stages of an emulated board: the BL1 ROM that takes the first stage of a boot-loader
// file and boots it, and BL2/BL2E, which ask for portions of the file through "QRXC" command
// blocks and check each portion against the file and its additive checksum.
//
// The stage lives in byte 3 of the board's identify bytes (0 BL1, 8 BL2, 12 BL2E); byte 0 is the
// protocol version (6 or more: BL2 restarts into BL2E), byte 1 > 0 means the restart into BL2E
// re-enumerates the board, so the host must find it again by serial number.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "tools/board/board.h"

namespace board {

// One command block as a boot stage sends it.
struct BootRequest {
    uint32_t size = 0;
    uint32_t offset = 0;
    // bit 0: no checksum for this request; bit 7: the board wants to send (bulk-in)
    uint8_t flags = 0;
    // 0 data request, 1 end of transfer, 0xFF not ready, 0x02-0x7F device error, 0x80-0xFE other
    uint8_t type = 0;
    std::string signature = "QRXC";
};

struct BootConfig {
    // Chip information ("getvar:getchipinfo-1"): SoC identifier and feature word.
    uint32_t soc = 0x35;
    uint32_t feature_word = 0;
    // Length of that record; shorter than 40 bytes leaves the feature word out.
    size_t chip_info_size = 40;
    // Reply text of "getvar:downloadsize" (the number of bytes the ROM takes).
    std::string download_size = "0x8000";
    // The boot-loader file the host is expected to send.
    Bytes file;
    // The command blocks of BL2 and of BL2E, in order. Empty: the stage asks for the whole file
    // in portions of `portion` bytes, in a shuffled order of its own, and then ends.
    std::vector<BootRequest> bl2_plan;
    std::vector<BootRequest> bl2e_plan;
    uint32_t portion = 0x3000;
    // Refuse this many checksums although they are right (each refusal makes the host resend).
    int refuse_checksums = 0;
    // Stage reported after a not-ready command block (-1: stay in the stage).
    int stage_after_not_ready = -1;
    // The identify request that follows a not-ready command block fails.
    bool fail_identify_after_not_ready = false;
    // Stage the board reports after its restart at the end of BL2 (12 is BL2E).
    int bl2e_stage = 12;
    // After a re-enumerating stage change the board comes back with an empty serial number.
    bool empty_serial_after_restart = false;
    // After a re-enumerating stage change the board comes back with this serial number ("": its
    // own), as boards whose later stages report a serial of their own.
    std::string serial_after_restart;
    // False: after a re-enumerating stage change the board never comes back.
    bool comes_back = true;
    // "reboot" restarts the board into this stage, re-enumerating it (-1: the board leaves the
    // bus for good, as by default), so that a run can start over on it.
    int reboot_stage = -1;
};

// Keeps the state of the boot stages and what the host did; `problems` lists every way in which
// the host deviated from what the board asked for (wrong bytes, oversize downloads, ...).
class BootStages : public Feature {
  public:
    explicit BootStages(BootConfig config);
    bool on_command(Board& board, const std::string& command) override;
    // boot.txt: one "key=value" line per counter, then one "problem=" line per problem.
    bool save_state(const std::string& folder, std::string* error) const override;

    BootConfig config;

    // BL1: the bytes of the first stage it was sent.
    Bytes first_stage;
    // BL2/BL2E: requests served whose bytes matched the file, as (offset, size), in order.
    std::vector<std::pair<uint32_t, uint32_t>> served;
    // Sizes of the data phases of every download the stages took, in order.
    std::vector<uint32_t> download_sizes;
    int checksums_accepted = 0;
    int checksums_refused = 0;
    int checksums_wrong = 0;
    // Number of stage changes (BL1 to BL2, BL2 to BL2E) and stages run to their end.
    int restarts = 0;
    int stages_finished = 0;
    std::vector<std::string> problems;

  private:
    int stage(const Board& board) const;
    void set_stage(Board& board, int stage);
    void restart(Board& board, int stage, bool reenumerate);
    uint32_t first_stage_size() const;
    bool bl1_command(Board& board, const std::string& command);
    bool bl2_command(Board& board, const std::string& command);
    void start_plan(Board& board);
    void send_command_block(Board& board);
    void take_download(Board& board, uint32_t size);
    void take_checksum(Board& board);
    void finish_request();
    void restart_request();

    // The data request being served and what has come for it so far.
    bool active_ = false;
    BootRequest request_;
    Bytes received_;
    bool bytes_ok_ = true;

    std::vector<BootRequest> plan_;
    size_t next_ = 0;
    int32_t sequence_ = 1;
    bool plan_started_ = false;
    bool fail_identify_ = false;
};

// The whole request list for a file cut in portions of `portion` bytes, shuffled by `seed`.
std::vector<BootRequest> boot_default_plan(uint32_t file_size, uint32_t portion, uint32_t seed);

}  // namespace board
