#include "codec/012coding_writer.h"
