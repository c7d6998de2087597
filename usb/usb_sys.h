// The few services of the system the tool waits and finds itself with. sleep_ms comes from the
// platform layer.
#pragma once
#include <string>

#include "util/platform.h"

// Not sleep(): the C library already has one with another signature.
void sleep_seconds(int seconds);
// The folder of the running executable, without a trailing separator; empty when it cannot be
// told.
std::string get_my_path();
