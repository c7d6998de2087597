// Writing what the boards were sent, so that a script can check a run afterwards.
#pragma once
#include <string>
#include <vector>

#include "tools/emu/bus.h"

namespace emu {

// DIR/board<N>/ for each board (see the tool's --help for the files); false with a reason.
bool write_state(const std::string& dir, const std::vector<Slot*>& slots, std::string* error);

}  // namespace emu
