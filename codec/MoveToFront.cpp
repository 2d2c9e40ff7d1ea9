#include "codec/MoveToFront.h"
