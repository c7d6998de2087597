#include "usb/usb_udev.h"

std::string GetUdevProblem() {
    // Windows grants every user access to a board bound to WinUSB; a board that cannot be
    // opened is held by another program, which the enumeration treats as busy.
    return std::string();
}

std::string GetUdevAdvice() {
    return std::string();
}
