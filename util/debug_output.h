// The debugger-output copy of log lines and transfer failures. It goes to the platform's channel
// (util/platform.h) unless a sink is installed: the tests install one to see the lines that only
// go there.
#pragma once

using debug_output_sink = void (*)(const char* text);

void platform_debug_output(const char* text);
// Installs a sink for the debugger-output copy; nullptr drops it again. Returns the previous one.
debug_output_sink set_debug_output_sink(debug_output_sink sink);
