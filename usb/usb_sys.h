// The few services of the system the tool waits and finds itself with.
#pragma once
#include <string>

// Not sleep(): the C library already has one with another signature.
void sleep_seconds(int seconds);
// The pause between two polls for a board, and the pauses around boot stages.
void sleep_ms(unsigned milliseconds);
// The folder of the running executable, without a trailing '/'; empty when it cannot be told.
std::string get_my_path();
