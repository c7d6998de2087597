// The station's view of its ports: which board is on each, whether it waits, burns or is done,
// and when a board that shows up again is a new one. Fed with what the bus shows, what the
// boards' burn processes print and how they end; it decides nothing about time itself (every
// call is given the time), so that it can be driven step by step.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "station/child_line.h"

// A board as the device listing shows it.
enum class BusState { Usable, NoPermission, InUse };
struct BusBoard {
    std::string port;
    std::string serial;
    BusState state = BusState::Usable;
};

enum class BoardState { Waiting, Burning, Passed, Failed, Aborted, Back, Busy, NoPermission, Gone };
const char* board_state_name(BoardState state);

// One port and the board last seen on it.
struct BoardRow {
    std::string port;
    std::string serial;
    std::string stage;
    BoardState state = BoardState::Waiting;
    int step = 0, steps = 0;
    std::string word;        // the running (or failed) step's command word
    int percent = -1;        // the step's transfer, -1 before it reports one
    double rate = 0;         // MB/s of the step's transfer
    double started = 0, ended = -1;
    std::string reason;      // why it failed, is busy or may not be opened
    // Every serial number the board showed since it was plugged: it may change between stages,
    // and a board that reboots into download mode shows one of them again.
    std::vector<std::string> serials;
    bool present = false;
    double gone_since = 0;
    long long arrival = 0;   // order of appearance, for the waiting line
    bool running = false;    // its burn process runs: the port belongs to it
    // What the bus showed last, to notice a change of board between two looks.
    std::string bus_serial;
    BusState bus_state = BusState::Usable;
    // The burn's own end line, if it printed one.
    ChildLine end_line;
};

enum class EventKind { Appeared, Back, Busy, Gone, Started, Stage, StepPassed, StepSkipped, StepFailed, Ended };
// Something the operator is told in one line; `text` follows the board's port and serial.
struct BoardEvent {
    EventKind kind;
    std::string port;
    std::string serial;
    std::string text;
};

struct TrackRules {
    // -a: a board back on its port after its plan is burned again.
    bool again = false;
    // How long a port may be empty while its board restarts; a board after a longer gap is new.
    double reenumeration_s = 3.0;
};

class BoardTracker {
public:
    TrackRules& rules() { return rules_; }
    // Boards that appear from now on are not taken (--once after the first look, a Ctrl-C).
    void stop_taking() { taking_ = false; }

    // What the bus shows at time t: every target board, present or not.
    void bus(const std::vector<BusBoard>& seen, double t, std::vector<BoardEvent>* events);
    // The port of the board that has waited longest, or "" when none waits.
    std::string next_waiting() const;
    void started(const std::string& port, double t, std::vector<BoardEvent>* events);
    void child_line(const std::string& port, const ChildLine& line, std::vector<BoardEvent>* events);
    // Its burn process ended with `status`; `stopped` when the station asked it to stop.
    void child_ended(const std::string& port, int status, bool stopped, double t, std::vector<BoardEvent>* events);

    // The rows in port order ("1-2" before "1-10").
    std::vector<const BoardRow*> rows() const;
    int count(BoardState state) const;
    int running() const;
    int finished() const { return finished_[0] + finished_[1] + finished_[2]; }
    int passed() const { return finished_[0]; }
    int failed() const { return finished_[1]; }
    int aborted() const { return finished_[2]; }

private:
    void arrive(BoardRow& row, const BusBoard& b, double t, std::vector<BoardEvent>* events);
    void leave(BoardRow& row, double t, std::vector<BoardEvent>* events);
    void renew(BoardRow& row, const BusBoard& b);
    void end(BoardRow& row, BoardState state, double t, std::vector<BoardEvent>* events, const std::string& text);

    TrackRules rules_;
    bool taking_ = true;
    long long arrivals_ = 0;
    int finished_[3] = {0, 0, 0};
    std::map<std::string, BoardRow> rows_;
};

// Port paths in the order of their numbers: "1-2" < "1-2.1" < "1-10".
bool port_before(const std::string& a, const std::string& b);
