// Peak resident memory of the benchmark process, for the figures of the memory runs.
#pragma once
#include <cstdio>

// Peak resident memory (VmHWM) in KiB, or -1.
inline long peak_kib() {
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof(line), f))
        if (sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    fclose(f);
    return kib;
}

// Restarts the peak from the current size (writing 5 to clear_refs); false where that is not
// available.
inline bool reset_peak() {
    FILE* f = fopen("/proc/self/clear_refs", "w");
    if (!f) return false;
    bool ok = fputs("5", f) >= 0;
    return fclose(f) == 0 && ok;
}
