#include "util/pause.h"

#include "util/platform.h"

namespace {
sleep_observer observer = nullptr;
}  // namespace

void sleep_ms(unsigned milliseconds) {
    if (observer)
        observer(milliseconds);
    else
        platform_sleep_ms(milliseconds);
}

sleep_observer set_sleep_observer(sleep_observer replacement) {
    sleep_observer old = observer;
    observer = replacement;
    return old;
}
