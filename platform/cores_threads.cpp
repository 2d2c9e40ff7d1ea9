// Thread services for builds with threads.
#include <thread>

#include "platform/platform.h"

bool ThreadsAvailable() { return true; }

unsigned UsableCores() {
    unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? cores : 1;
}
