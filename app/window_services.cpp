#include "app/window_services.h"
