// Thread services for builds without threads.
#include "platform/platform.h"

bool ThreadsAvailable() { return false; }

unsigned UsableCores() { return 1; }
