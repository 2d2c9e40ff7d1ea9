#include "codec/BlockSorting_writer.h"
