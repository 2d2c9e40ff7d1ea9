#include "codec/MoveToFront_writer.h"
