// The operator's requests to stop a long run: each Ctrl-C counts one, a request of the system to
// end the process (SIGTERM; on Windows closing the console or logging off) counts as two at once.
// interrupt_posix.cc and interrupt_windows.cc implement it.
#pragma once

// Catches the requests from now on instead of letting them end the process.
void interrupts_catch();
// How many requests have come so far (0, 1, or 2 and more).
int interrupts_count();
