// Waiting: the one way the tool pauses (between device polls, around boot-loader stages), with a
// seam for tests, which assert the pauses asked for instead of waiting them out.
#pragma once

// Suspends the thread for at least this many milliseconds, or hands the request to the observer
// that a test installed.
void sleep_ms(unsigned milliseconds);

using sleep_observer = void (*)(unsigned milliseconds);
// Installs `observer` (nullptr: the real wait again); returns the one it replaces.
sleep_observer set_sleep_observer(sleep_observer observer);
