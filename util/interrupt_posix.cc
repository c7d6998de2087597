#include "util/interrupt.h"

#include <signal.h>

namespace {

volatile sig_atomic_t requests = 0;

void on_signal(int sig) {
    requests = sig == SIGTERM ? requests + 2 : requests + 1;
}

}  // namespace

void interrupts_catch() {
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a wait in progress ends at once, so that the request is seen without delay.
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int interrupts_count() { return requests; }
