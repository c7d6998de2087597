// The one board a burn runs on: opened, asked for its stage, and found again at its port after a
// step that makes it leave the bus.
#pragma once
#include <string>
#include "usb/transport.h"

struct BoardLink {
    BoardLink() = default;
    BoardLink(const BoardLink&) = delete;
    BoardLink& operator=(const BoardLink&) = delete;
    // The board is let go of when the plan is over, whichever step it ended at.
    ~BoardLink();

    Transport* transport = nullptr;
    std::string port;
    // The serial number the board had when the plan started (what "${serial}" names), and the
    // one it has now.
    std::string first_serial;
    std::string serial;
    int stage = -1;
};

// Waits for the board the selector names (any board without one) and opens it; prints the
// "board at" line. False when it cannot be opened.
bool board_open(const char* selector, BoardLink* board);
// Asks the board for its stage (byte 3 of identify); false when it does not answer.
bool board_read_stage(BoardLink* board);
// After a step that restarts the board: waits until it has left its port and come back, opens it
// again there and prints the "board at" line.
bool board_wait_for_return(BoardLink* board);
// Installs, for the steps that re-open the board themselves (bl2_boot into BL2E), a re-open by
// the board's port path instead of by a serial number that may change between stages.
void board_reopen_by_port(BoardLink* board);
// True (once) when a step re-opened the board itself since the last call.
bool board_take_reopened();
// "board at PORT: serial SERIAL, stage STAGE" on standard error.
void board_print_line(const BoardLink& board);
// Releases the board.
void board_close(BoardLink* board);
