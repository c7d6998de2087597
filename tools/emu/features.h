// Board features that the command line can add ("--feature NAME[:ARGS]"). A feature of the board
// model (a storage medium, the boot stages, ...) becomes available here with one entry in the
// table of features.cc.
#pragma once
#include <string>
#include <vector>

#include "tools/emu/bus.h"

namespace emu {

struct FeatureOption {
    const char* name;
    // The ARGS it takes, for --help, e.g. "file=PATH[,soc=N]".
    const char* args;
    const char* help;
    // Adds the feature to the slot's board; false with a reason.
    bool (*add)(Slot& slot, const std::string& args, std::string* error);
};

const std::vector<FeatureOption>& feature_options();
// Adds the feature named in "NAME[:ARGS]".
bool add_feature(Slot& slot, const std::string& text, std::string* error);

}  // namespace emu
