#include "util/debug_output.h"

#include "util/platform.h"

namespace {
debug_output_sink g_sink = nullptr;
}

void platform_debug_output(const char* text) {
    if (g_sink) {
        g_sink(text);
    } else {
        platform_debugger_output(text);
    }
}

debug_output_sink set_debug_output_sink(debug_output_sink sink) {
    debug_output_sink old = g_sink;
    g_sink = sink;
    return old;
}
