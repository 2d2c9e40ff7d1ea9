#include "codec/BlockSorting.h"
