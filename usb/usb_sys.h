// The few services of the system the tool waits and finds itself with. sleep_ms is the tool's
// one way of waiting (util/pause.h).
#pragma once
#include <string>

#include "util/pause.h"
#include "util/platform.h"

// The folder of the running executable, without a trailing separator; empty when it cannot be
// told.
std::string get_my_path();
