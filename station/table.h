// The station's table as text: a line of counts, a heading, and one row per port in port order.
// Each line fits in 79 columns, so that 32 boards stay readable in an 80-column terminal.
#pragma once
#include <string>
#include <vector>

#include "station/board_track.h"

std::vector<std::string> table_lines(const BoardTracker& tracker, double t);
// The counts line alone: burning, waiting, passed, failed (aborted, busy, back when there are
// any) and the rate of every transfer running now.
std::string counts_line(const BoardTracker& tracker);
