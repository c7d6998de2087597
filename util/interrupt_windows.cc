#include "util/interrupt.h"

#include <windows.h>

namespace {

volatile LONG requests = 0;

BOOL WINAPI on_console_event(DWORD event) {
    if (event == CTRL_C_EVENT) {
        InterlockedIncrement(&requests);
        return TRUE;
    }
    InterlockedExchangeAdd(&requests, 2);
    return TRUE;
}

}  // namespace

void interrupts_catch() { SetConsoleCtrlHandler(on_console_event, TRUE); }

int interrupts_count() { return static_cast<int>(requests); }
