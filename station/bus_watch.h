// One look at the bus: every target board with its port path, serial number and whether it can
// be opened, as the long device listing shows them, without opening or claiming any board.
#pragma once
#include <vector>

#include "station/board_track.h"

std::vector<BusBoard> look_at_bus();
